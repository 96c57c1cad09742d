#include "tools/rsadmin/ServiceSession.h"

#include "rs/i18n/ErrorLine.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace rsadmin {

std::string hexCode(int32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
    return text;
}

namespace {

// What an operator can do about the refusals that have a remedy.
const char* hintFor(int32_t code)
{
    static const std::map<uint32_t, const char*> hints = {
        { 0xD0014C21u, "Check the user name and the password (rsadmin user passwd resets it)." },
        { 0xD0014C2Cu,
            "Check --consumer: it must be a consumer of the cluster ('rsadmin cluster consumers' lists "
            "them)." },
        { 0xD0014C26u, "Ask an administrator for a role on this consumer, or choose another --consumer." },
        { 0xD0014C1Au, "See 'rsadmin module list' for the modules that exist." },
        { 0xD0014C19u, "Leave out --version to fetch the current version." },
        { 0xD0014C1Fu, "Unlink its applications first ('rsadmin module unlink APP MODULE')." },
        { 0xD0014C20u, "Add the module first ('rsadmin module add')." },
        { 0xD0014C35u, "See 'rsadmin package list' for the packages that exist." },
        { 0xD0014C30u,
            "Wait for the running deployment ('rsadmin package status NAME --watch') or cancel it." },
        { 0xD0014C36u,
            "'rsadmin cluster groups' and 'rsadmin cluster consumers' list what the cluster has." },
        { 0xD0014C37u, "Check the resource group name ('rsadmin cluster groups' lists the groups)." },
        { 0xD0014C38u, "Check the host name ('rsadmin cluster groups' lists the hosts of each group)." },
    };
    auto found = hints.find(static_cast<uint32_t>(code));
    return found == hints.end() ? nullptr : found->second;
}

std::string describe(int32_t code, const kav::Params& params)
{
    std::string text = hexCode(code);
    std::string catalogue = kav::catalogueText(static_cast<uint32_t>(code), params);
    if (!catalogue.empty())
        text += ": " + catalogue;
    if (const char* hint = hintFor(code))
        text += std::string("\n") + hint;
    return text;
}

} // namespace

std::string describeRefusal(const kav::IKavErrorInfo& error)
{
    return describe(error.getCode(), error.getParams());
}

std::string describeRefusal(int32_t code)
{
    return describe(code, {});
}

namespace {

// The driver reports a name it cannot resolve as an unreachable host; the
// resolver's own answer says what is wrong (an unknown name, no DNS).
void requireResolvable(const std::string& server)
{
    const auto address = parseServerAddress(server);
    if (!address || address->host.empty())
        return;
    addrinfo hints {};
    hints.ai_family = AF_INET; // the driver's family
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(address->host.c_str(), nullptr, &hints, &found);
    if (found != nullptr)
        ::freeaddrinfo(found);
    if (rc != 0)
        throw AdminFailure(kExitNoConnection,
            "cannot connect to " + server + ": the host name " + address->host + " cannot be resolved ("
                + (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc))
                + "): check --server or RS_SERVER");
}

} // namespace

ServiceSession::ServiceSession(
    const std::string& server, const std::string& interfaceName, std::chrono::milliseconds timeout)
    : server_(server)
    , timeout_(timeout)
{
    requireResolvable(server);
    int rc = 0;
    client_ = rsclient::Client::connect(server, interfaceName, timeout, &rc);
    if (!client_)
        throw AdminFailure(kExitNoConnection,
            "cannot connect to " + server + ": " + rsclient::describeResult(rc)
                + ": check that the service runs and that --server or RS_SERVER names its host and port");
}

void ServiceSession::failNoAnswer(int rc, const char* what) const
{
    if (rc == rsclient::kTimedOut)
        throw AdminFailure(kExitNoConnection,
            std::string("no answer from ") + server_ + " to " + what + " within "
                + std::to_string(timeout_.count() / 1000) + " s: the service may be overloaded; retry"
                + " or raise --timeout");
    throw AdminFailure(kExitNoConnection,
        std::string("the connection to ") + server_ + " was lost during " + what + " ("
            + rsclient::describeResult(rc) + "): check that the service still runs");
}

} // namespace rsadmin
