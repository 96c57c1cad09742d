#pragma once
// A log4cxx appender that keeps what it receives, for tests that check log
// lines. Thread-safe (AppenderSkeleton serialises append()).

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

namespace testutil {

namespace helpers = log4cxx::helpers; // the log4cxx object macros name it unqualified

struct CapturedLine {
    log4cxx::LevelPtr level;
    std::string logger;
    std::string message;
};

class CapturingAppender : public log4cxx::AppenderSkeleton {
public:
    DECLARE_LOG4CXX_OBJECT(CapturingAppender)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(CapturingAppender)
    LOG4CXX_CAST_ENTRY_CHAIN(AppenderSkeleton)
    END_LOG4CXX_CAST_MAP()

    void close() override { }
    bool requiresLayout() const override { return false; }

    std::vector<CapturedLine> lines() const
    {
        std::lock_guard lock(linesMutex_);
        return lines_;
    }

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override
    {
        std::lock_guard lock(linesMutex_);
        lines_.push_back({ event->getLevel(), event->getLoggerName(), event->getRenderedMessage() });
    }

private:
    mutable std::mutex linesMutex_;
    std::vector<CapturedLine> lines_;
};

// Attaches a capturing appender to a logger for the life of the scope.
class CaptureScope {
public:
    explicit CaptureScope(const log4cxx::LoggerPtr& logger)
        : logger_(logger)
        , appender_(std::make_shared<CapturingAppender>())
    {
        logger_->addAppender(appender_);
    }
    ~CaptureScope() { logger_->removeAppender(appender_); }
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;

    std::vector<CapturedLine> lines() const { return appender_->lines(); }

private:
    log4cxx::LoggerPtr logger_;
    std::shared_ptr<CapturingAppender> appender_;
};

} // namespace testutil
