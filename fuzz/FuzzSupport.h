#pragma once
// Helpers shared by the fuzz targets: turning fuzz input into what the code
// under test reads (CDR-aligned message blocks, files in a scratch
// directory) and stopping loudly when a checked property does not hold.
//
// Single-threaded: libFuzzer and the replay driver call one input at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class ACE_Message_Block;
class ACE_OutputCDR;

namespace fuzz {

// A fresh block holding a copy of the bytes with its read pointer on an
// 8-byte boundary, as a received payload has it. The caller releases it.
ACE_Message_Block* alignedBlock(const uint8_t* data, size_t size);
// Everything written to `out` (its whole chain) in one aligned block, as the
// peer receives it. The caller releases it.
ACE_Message_Block* receivedCopy(const ACE_OutputCDR& out);

// A directory private to this process, created on first use and removed at
// exit. Files written into it replace the previous input's.
class ScratchDirectory {
public:
    static ScratchDirectory& instance();

    const std::string& path() const { return path_; }
    // Writes `bytes` to path()/name (replacing any previous file); aborts
    // when the file cannot be written, since every later result would be void.
    void writeFile(const std::string& name, std::string_view bytes) const;
    // Removes path()/name if present.
    void removeFile(const std::string& name) const;

private:
    ScratchDirectory();
    ~ScratchDirectory();
    std::string path_;
};

// Prints `what` and aborts, so that the fuzzer records the input as a crash.
[[noreturn]] void violated(const char* what);

inline void check(bool holds, const char* what)
{
    if (!holds)
        violated(what);
}

} // namespace fuzz
