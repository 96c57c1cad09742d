#pragma once
// Helpers shared by the storage tests: a scratch directory, raw file access
// that bypasses the code under test, captured log lines and replaceable I/O calls.

#include "rs/repository/dplfileutils.h"
#include "support/ScratchDir.h"

#include <ace/Message_Block.h>
#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace storagetest {

// The shared scratch directory, with `dir / "name"` giving a file's path as text.
class ScratchDir : public rs::test::ScratchDir {
public:
    std::string operator/(const std::string& name) const { return file(name); }
};

inline void writeRaw(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

inline std::string readRaw(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline mode_t modeOf(const std::string& path)
{
    struct stat st { };
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// A message block holding a copy of bytes; released when the holder goes.
struct BlockDeleter {
    void operator()(ACE_Message_Block* block) const
    {
        if (block)
            block->release();
    }
};
using BlockPtr = std::unique_ptr<ACE_Message_Block, BlockDeleter>;

inline BlockPtr makeBlock(const std::string& bytes)
{
    BlockPtr block(new ACE_Message_Block(bytes.size()));
    block->copy(bytes.data(), bytes.size());
    return block;
}

inline std::string contentsOf(const ACE_Message_Block& block)
{
    return std::string(block.rd_ptr(), block.length());
}

// Collects the messages logged to one logger while it lives.
class LogCapture {
public:
    explicit LogCapture(const std::string& loggerName)
        : logger_(log4cxx::Logger::getLogger(loggerName))
        , appender_(std::make_shared<Appender>())
        , previousLevel_(logger_->getLevel())
    {
        logger_->setLevel(log4cxx::Level::getDebug());
        logger_->addAppender(appender_);
    }
    ~LogCapture()
    {
        logger_->removeAppender(appender_);
        logger_->setLevel(previousLevel_);
    }
    std::vector<std::string> messages() const { return appender_->messages(); }
    bool contains(const std::string& text) const
    {
        for (const auto& message : messages()) {
            if (message.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

private:
    class Appender : public log4cxx::AppenderSkeleton {
    public:
        void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(event->getMessage());
        }
        void close() override { }
        bool requiresLayout() const override { return false; }
        std::vector<std::string> messages() const
        {
            std::lock_guard lock(mutex_);
            return messages_;
        }

    private:
        mutable std::mutex mutex_;
        std::vector<std::string> messages_;
    };

    log4cxx::LoggerPtr logger_;
    std::shared_ptr<Appender> appender_;
    log4cxx::LevelPtr previousLevel_;
};

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

} // namespace storagetest
