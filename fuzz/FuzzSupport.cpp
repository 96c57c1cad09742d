#include "FuzzSupport.h"

#include <ace/CDR_Base.h>
#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fuzz {

ACE_Message_Block* alignedBlock(const uint8_t* data, size_t size)
{
    auto* block = new ACE_Message_Block(size + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(block);
    if (size > 0)
        std::memcpy(block->wr_ptr(), data, size);
    block->wr_ptr(size);
    return block;
}

ACE_Message_Block* receivedCopy(const ACE_OutputCDR& out)
{
    std::string bytes;
    for (const ACE_Message_Block* part = out.begin(); part; part = part->cont())
        bytes.append(part->rd_ptr(), part->length());
    return alignedBlock(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

ScratchDirectory& ScratchDirectory::instance()
{
    static ScratchDirectory directory;
    return directory;
}

ScratchDirectory::ScratchDirectory()
{
    // Memory-backed when available: every input is written to disk.
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : nullptr;
    if (!base)
        base = std::getenv("TMPDIR") && *std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    std::string pattern = std::string(base) + "/rs-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        violated("cannot create the scratch directory");
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::writeFile(const std::string& name, std::string_view bytes) const
{
    const std::string file = path_ + "/" + name;
    // The code under test may leave its files read-only.
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        violated("cannot write the input file");
}

void ScratchDirectory::removeFile(const std::string& name) const
{
    std::error_code ignored;
    std::filesystem::remove(path_ + "/" + name, ignored);
}

void violated(const char* what)
{
    std::fprintf(stderr, "fuzz property violated: %s\n", what);
    std::abort();
}

} // namespace fuzz
