#pragma once
// LogonGate: the logon state of one client connection and the rule every
// request of both interfaces passes before it is queued. With the logon
// requirement on, only logon and getRSVersion pass a connection that has not
// logged on successfully; the fifth failed logon on a connection asks for it
// to be closed. With the requirement off every request passes (trusted
// networks).
//
// Threads: admit() runs on the connection's driver thread; the logon results
// arrive from worker threads. mutex_ guards the state.
// References: the gate holds a reference to the attached channel and
// releases it when it goes (the channel's bindings hold the server that
// holds the gate, so the cycle ends when the connection closes).

#include <mutex>
#include <string>

namespace zephcomm {
class Channel;
}

namespace rs {

class LogonGate {
public:
    static constexpr int kMaxFailedLogons = 5;

    explicit LogonGate(bool required)
        : required_(required)
    {
    }
    ~LogonGate();
    LogonGate(const LogonGate&) = delete;
    LogonGate& operator=(const LogonGate&) = delete;

    // The connection that closeConnection() ends (referenced).
    void attach(zephcomm::Channel* channel);

    bool required() const { return required_; }
    // Throws KavException 0xD0014C61 (parameter: operation) when the request
    // may not run on this connection yet.
    void admit(const char* operation) const;
    // A logon succeeded: the connection acts for this user from now on.
    void loggedOn(const std::string& userName);
    // A logon was refused. An earlier successful logon of the connection
    // still holds (a refused consumer must not log the user off). True when
    // this was the failure that closes the connection.
    bool logonFailed();
    // Ends the attached connection; its bindings end and the server goes.
    void closeConnection();

    bool isLoggedOn() const;
    std::string userName() const;

private:
    const bool required_;
    mutable std::mutex mutex_;
    bool loggedOn_ = false;
    int failedLogons_ = 0;
    std::string userName_;
    zephcomm::Channel* channel_ = nullptr;
};

} // namespace rs
