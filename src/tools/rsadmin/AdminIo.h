#pragma once
// What one run of rsadmin reads and writes: its streams, whether they are
// terminals, and its environment. Injected so that tests run commands
// in-process with string streams and an environment of their own.
//
// Single-threaded: one command runs at a time on the calling thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>

namespace rsadmin {

// Exit statuses of the tool.
enum ExitStatus : int {
    kExitOk = 0,
    kExitRefused = 1, // the service answered with a failure
    kExitUsage = 2, // bad arguments, missing configuration, unreadable files
    kExitNoConnection = 3, // the service could not be reached or went away
    kExitInterrupted = 130, // Ctrl-C stopped a transfer (128 + SIGINT, as shells report it)
};

struct AdminIo {
    AdminIo(std::istream& input, std::ostream& output, std::ostream& error)
        : in(input)
        , out(output)
        , err(error)
    {
    }

    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool inIsTerminal = false;
    bool outIsTerminal = false; // --watch redraws the screen then
    bool errIsTerminal = false; // progress bars are shown then
    int terminalFd = -1; // the terminal the password prompt turns echo off on
    // Environment look-up; nothing when the variable is unset.
    std::function<std::optional<std::string>(const std::string&)> getenv;
    // Waits between two rounds of `package status --watch`.
    std::function<void(std::chrono::milliseconds)> pause;
};

// The process's own environment.
std::optional<std::string> processEnvironment(const std::string& name);

// A failure that ends the command with `status`; `what()` is the message
// for the operator (it never holds a secret). `code` is the service's
// result code when the service refused, else 0.
class AdminFailure : public std::exception {
public:
    AdminFailure(ExitStatus status, std::string message, int32_t code = 0)
        : status_(status)
        , code_(code)
        , message_(std::move(message))
    {
    }
    ExitStatus status() const { return status_; }
    int32_t code() const { return code_; }
    const char* what() const noexcept override { return message_.c_str(); }
    // What the command found before it failed, for --json (a JSON text; empty: nothing).
    const std::string& detail() const { return detail_; }
    AdminFailure& withDetail(std::string json)
    {
        detail_ = std::move(json);
        return *this;
    }

private:
    ExitStatus status_;
    int32_t code_;
    std::string message_;
    std::string detail_;
};

} // namespace rsadmin
