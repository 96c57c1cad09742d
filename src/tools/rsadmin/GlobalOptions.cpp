#include "tools/rsadmin/GlobalOptions.h"

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/zor.h"
#include "zephcomm/router/Url.h"

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

std::optional<ServerAddress> parseServerAddress(const std::string& text)
{
    const auto url = zephcomm::parseUrl(text);
    if (!url)
        return std::nullopt;
    const std::string address = url->address.substr(0, url->address.find(';'));
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    const std::string port = address.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long number = std::stol(port);
    if (number < 1 || number > 65535)
        return std::nullopt;
    return ServerAddress { address.substr(0, colon), port };
}

namespace {

std::string checkedServer(const std::string& server, const std::string& source)
{
    if (!parseServerAddress(server))
        throw AdminFailure(kExitUsage,
            source + " '" + server + "' is not HOST:PORT: name the service's host and its port, for example "
                + "127.0.0.1:7869");
    return server;
}

} // namespace

std::string resolveServer(const GlobalOptions& options, const AdminIo& io, const RegistryLookup& lookup)
{
    if (!options.server.empty())
        return checkedServer(options.server, "--server");
    if (std::string fromEnv = nonEmptyVariable(io, kServerVariable); !fromEnv.empty())
        return checkedServer(fromEnv, kServerVariable);
    if (lookup) {
        if (std::string registered = lookup(kRegisteredName); !registered.empty())
            return checkedServer(registered, std::string("the address registered as ") + kRegisteredName);
    }
    throw AdminFailure(kExitUsage,
        "no server given and none registered as RS_DEPLOY: pass --server HOST:PORT or set RS_SERVER");
}

std::string userIfGiven(const GlobalOptions& options, const AdminIo& io)
{
    return options.user.empty() ? nonEmptyVariable(io, kUserVariable) : options.user;
}

std::string resolveUser(const GlobalOptions& options, const AdminIo& io)
{
    if (std::string user = userIfGiven(options, io); !user.empty())
        return user;
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
    const std::string consumer
        = options.consumer.empty() ? nonEmptyVariable(io, kConsumerVariable) : options.consumer;
    return consumer.empty() ? consumer : zor::normaliseConsumerPath(consumer);
}

std::string makeCredential(const std::string& user, const std::string& password)
{
    return user + ":" + password;
}

} // namespace rsadmin
