#pragma once
// Test helper: collects the events logged on one logger (and its children)
// for the life of the scope, and restores the logger's level afterwards.

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kav::test {

struct LoggedLine {
    log4cxx::LevelPtr level;
    std::string message;
};

class LogCapture {
public:
    explicit LogCapture(log4cxx::LoggerPtr logger, const log4cxx::LevelPtr& level = log4cxx::Level::getAll())
        : logger_(std::move(logger))
        , appender_(std::make_shared<Appender>())
        , previousLevel_(logger_->getLevel())
    {
        logger_->setLevel(level);
        logger_->addAppender(appender_);
    }
    ~LogCapture()
    {
        logger_->removeAppender(appender_);
        logger_->setLevel(previousLevel_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LoggedLine> lines() const { return appender_->lines(); }

private:
    class Appender : public log4cxx::AppenderSkeleton {
    public:
        void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override
        {
            std::lock_guard lock(mutex_);
            lines_.push_back({ event->getLevel(), event->getMessage() });
        }
        void close() override { }
        bool requiresLayout() const override { return false; }
        std::vector<LoggedLine> lines() const
        {
            std::lock_guard lock(mutex_);
            return lines_;
        }

    private:
        mutable std::mutex mutex_;
        std::vector<LoggedLine> lines_;
    };

    log4cxx::LoggerPtr logger_;
    std::shared_ptr<Appender> appender_;
    log4cxx::LevelPtr previousLevel_;
};

} // namespace kav::test
