#include "tools/rspasswd/PasswordCommand.h"

#include "platform/wardn/PasswordFile.h"

#include <termios.h>
#include <unistd.h>

#include <istream>
#include <ostream>
#include <stdexcept>

namespace rspasswd {

namespace {

// Turns echo off on the terminal for its lifetime.
class EchoOff {
public:
    explicit EchoOff(int fd)
        : fd_(fd)
    {
        if (::tcgetattr(fd_, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (active_)
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_ {};
    bool active_ = false;
};

bool readLine(std::istream& in, std::string& line)
{
    if (!std::getline(in, line))
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

bool promptedLine(std::istream& in, std::ostream& err, int fd, const char* prompt, std::string& line)
{
    err << prompt << std::flush;
    const EchoOff echoOff(fd);
    const bool ok = readLine(in, line);
    err << "\n";
    return ok;
}

} // namespace

bool readPassword(
    std::istream& in, std::ostream& err, bool interactive, int terminalFd, std::string& password)
{
    if (!interactive) {
        if (readLine(in, password))
            return true;
        err << "rspasswd: no password on standard input\n";
        return false;
    }
    std::string again;
    if (!promptedLine(in, err, terminalFd, "New password: ", password)
        || !promptedLine(in, err, terminalFd, "Retype new password: ", again)) {
        err << "rspasswd: no password entered\n";
        return false;
    }
    if (password != again) {
        err << "rspasswd: the passwords do not match\n";
        return false;
    }
    return true;
}

int setUserPassword(const std::string& file, const std::string& user, std::istream& in, std::ostream& err,
    bool interactive, int terminalFd)
{
    if (!wardn::isValidUserName(user)) {
        err << "rspasswd: invalid user name (no ':', blanks or control characters allowed)\n";
        return 2;
    }
    std::string password;
    if (!readPassword(in, err, interactive, terminalFd, password))
        return 1;
    if (password.empty()) {
        err << "rspasswd: the password must not be empty\n";
        return 1;
    }
    try {
        wardn::setPassword(file, user, password);
    } catch (const std::exception& e) {
        err << "rspasswd: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

} // namespace rspasswd
