#pragma once
// kav::EventNotification: the service's front end to the event library. It
// registers the product's event table, sets the severity threshold from
// QEL_EVENT_MASK, loads the plug-ins named by QEL_EVENT_PLUGIN from
// QEL_LIBDIR, and raises events with their catalogue text. Every event is
// also written to the logger "narv.common.EventAgent", whether or not the
// event library could be initialised.
//
// Threads: a process singleton (instance()); every operation takes the one
// mutex, so events may be raised from any thread. Failures are returned as
// negative results with the thread's error information set.

#include "common/KavErrorInfo.h"
#include "rs/logging/ConfParam.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace kav {

class EventNotification {
public:
    static constexpr const char* kComponent = "KAV";
    static constexpr int32_t kFirstCode = 75001;
    static constexpr int32_t kLastCode = 75065;
    static constexpr int32_t EVENT_NARV_RS_EXIT_PORT = 75061;
    static constexpr int32_t EVENT_NARV_RS_EXIT_STORAGE_DIR = 75062;
    static constexpr int32_t EVENT_NARV_RS_STARTED = 75063;

    // The process-wide instance, reading its parameters from the resource manager.
    static EventNotification& instance();

    // An instance over the given parameter reader (tests; tools).
    explicit EventNotification(ConfParamReader params);
    virtual ~EventNotification();
    EventNotification(const EventNotification&) = delete;
    EventNotification& operator=(const EventNotification&) = delete;

    // Initialises the event library and loads the plug-ins. A negative
    // result is a failure (thread's error information set); a missing
    // QEL_LIBDIR or QEL_EVENT_PLUGIN gives a positive code: no failure, but
    // events stay local.
    virtual int32_t init(const std::string& parameter);
    virtual void fini();
    // Formats the code's catalogue message with s1..s5 and raises it.
    virtual int32_t triggerEventInterface(int32_t code, const std::string& s1, const std::string& s2,
        const std::string& s3, const std::string& s4, const std::string& s5);
    virtual int32_t raiseEvent(int32_t code, const std::string& message);

    bool isInitialised() const;

    // QEL_EVENT_MASK value -> event library threshold.
    static int thresholdFor(const std::string& mask);

private:
    void initFramework();
    void loadPlugins();
    void logLocally(int32_t code, int32_t level, const std::string& message);

    mutable std::mutex mutex_;
    ConfParamReader params_;
    bool initialised_ = false;
};

} // namespace kav
