#pragma once
// Helpers shared by the storage tests: a scratch directory, raw file access
// that bypasses the code under test, message blocks and replaceable I/O calls.

#include "rs/repository/dplfileutils.h"
#include "support/ScratchDir.h"

#include <ace/Message_Block.h>

#include <cerrno>
#include <memory>
#include <string>

#include <sys/stat.h>

namespace storagetest {

using rs::test::readFile;
using rs::test::writeFile;

// The shared scratch directory, with `dir / "name"` giving a file's path as text.
class ScratchDir : public rs::test::ScratchDir {
public:
    std::string operator/(const std::string& name) const { return file(name); }
};

inline mode_t modeOf(const std::string& path)
{
    struct stat st { };
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

struct BlockDeleter {
    void operator()(ACE_Message_Block* block) const
    {
        if (block)
            block->release();
    }
};
using BlockPtr = std::unique_ptr<ACE_Message_Block, BlockDeleter>;

// Replaces the storage I/O calls for the life of the scope.
class ScopedIoCalls {
public:
    explicit ScopedIoCalls(const rsmanagerutils::IoCalls& calls)
        : previous_(rsmanagerutils::setIoCalls(calls))
    {
    }
    ~ScopedIoCalls() { rsmanagerutils::setIoCalls(previous_); }
    ScopedIoCalls(const ScopedIoCalls&) = delete;
    ScopedIoCalls& operator=(const ScopedIoCalls&) = delete;

private:
    rsmanagerutils::IoCalls previous_;
};

// The POSIX calls with reads failing with EIO.
inline rsmanagerutils::IoCalls failingReads()
{
    rsmanagerutils::IoCalls calls = rsmanagerutils::posixIoCalls();
    calls.read = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
    return calls;
}

} // namespace storagetest
