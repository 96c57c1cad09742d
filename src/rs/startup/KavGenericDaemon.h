#pragma once
// KavGenericDaemon: the skeleton every daemon of the middleware shares. The
// main function drives one instance through parseArgs, initApp, startup and
// fini; this base closes inherited handles, sets up logging,
// the catalogue, the hang-up watcher, the communication library and event
// notification, and undoes them in fini.
//
// Threads: everything here runs on the main thread.

#include "rs/logging/LoggingSetup.h"
#include "rs/startup/CommunicationLibrary.h"
#include "rs/startup/HangUpWatcher.h"

#include <condition_variable>
#include <mutex>
#include <string>

namespace rs {

// Process-wide settings that the logging set-up reads.
std::string& processLogPropertyFile();
std::string& processDaemonName();

class KavGenericDaemon {
public:
    explicit KavGenericDaemon(std::string name)
        : name_(std::move(name))
    {
    }
    virtual ~KavGenericDaemon();
    KavGenericDaemon(const KavGenericDaemon&) = delete;
    KavGenericDaemon& operator=(const KavGenericDaemon&) = delete;

    // True: go on with initApp. The command line belongs to the daemon (one
    // parser, DaemonConfig's, for every option).
    virtual bool parseArgs(int argc, char* argv[]) = 0;
    virtual bool initApp();
    // The run loop; returns when the daemon is to stop.
    virtual bool startup();
    virtual void fini();
    virtual void usage(const char* program);
    virtual void printVersion();
    virtual void logBanner();

    const std::string& name() const { return name_; }
    // Ends the base's own run loop; any thread.
    void requestStop();

protected:
    // An interrupt or termination request arrived (watcher thread).
    virtual void onStopSignal();
    // Closes every inherited file handle above standard error.
    static void closeInheritedHandles();
    bool initCommunicationLibrary();

    std::string name_;
    bool stop_ = false;
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    CommunicationWords communicationWords_;
    kav::LoggingSetup logging_;
    HangUpWatcher hangUpWatcher_;
    bool communicationStarted_ = false;
};

} // namespace rs
