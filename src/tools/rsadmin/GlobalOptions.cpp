#include "tools/rsadmin/GlobalOptions.h"

#include "platform/zor/zor.h"

#include <termios.h>

#include <cstdlib>
#include <fstream>
#include <istream>
#include <ostream>

namespace rsadmin {

std::optional<std::string> processEnvironment(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

namespace {

std::string nonEmptyVariable(const AdminIo& io, const char* name)
{
    if (!io.getenv)
        return {};
    return io.getenv(name).value_or("");
}

// Reads one line with terminal echo off on fd (when it is a terminal).
bool readHiddenLine(std::istream& in, int fd, std::string& line)
{
    termios saved {};
    const bool hide = fd >= 0 && ::tcgetattr(fd, &saved) == 0;
    if (hide) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(in, line));
    if (hide)
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    return read;
}

} // namespace

std::string lookUpRegisteredUrl(const std::string& clientName)
{
    char* url = zor_lookupurl(clientName.c_str());
    if (url == nullptr)
        return {};
    std::string text(url);
    zor_free_string(url);
    return text;
}

std::string resolveServer(const GlobalOptions& options, const AdminIo& io, const RegistryLookup& lookup)
{
    if (!options.server.empty())
        return options.server;
    if (std::string fromEnv = nonEmptyVariable(io, kServerVariable); !fromEnv.empty())
        return fromEnv;
    if (lookup) {
        if (std::string registered = lookup(kRegisteredName); !registered.empty())
            return registered;
    }
    throw AdminFailure(kExitUsage,
        "no server given and none registered as RS_DEPLOY: pass --server HOST:PORT or set RS_SERVER");
}

std::string resolveUser(const GlobalOptions& options, const AdminIo& io)
{
    if (!options.user.empty())
        return options.user;
    if (std::string fromEnv = nonEmptyVariable(io, kUserVariable); !fromEnv.empty())
        return fromEnv;
    throw AdminFailure(kExitUsage, "no user given: pass --user NAME or set RS_USER");
}

std::string obtainPassword(const GlobalOptions& options, AdminIo& io, const std::string& user)
{
    if (!options.passwordFile.empty()) {
        std::ifstream file(options.passwordFile);
        std::string password;
        if (!file || !std::getline(file, password))
            throw AdminFailure(kExitUsage,
                "cannot read the password file " + options.passwordFile
                    + ": check that it exists and is readable");
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        return password;
    }
    if (io.getenv) {
        if (auto fromEnv = io.getenv(kPasswordVariable))
            return *fromEnv;
    }
    if (!io.inIsTerminal)
        throw AdminFailure(kExitUsage,
            "no password: use --password-file FILE or RS_PASSWORD, or run from a terminal to be asked");
    io.err << "Password for " << user << ": " << std::flush;
    std::string password;
    const bool read = readHiddenLine(io.in, io.terminalFd, password);
    io.err << "\n";
    if (!read)
        throw AdminFailure(kExitUsage, "no password was entered");
    return password;
}

std::string resolveConsumer(const GlobalOptions& options, const AdminIo& io)
{
    return options.consumer.empty() ? nonEmptyVariable(io, kConsumerVariable) : options.consumer;
}

std::string makeCredential(const std::string& user, const std::string& password)
{
    return user + ":" + password;
}

} // namespace rsadmin
