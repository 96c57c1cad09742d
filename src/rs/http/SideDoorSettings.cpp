#include "rs/http/SideDoorSettings.h"

#include "zephcomm/driver/DriverSelection.h"
#include "zephcomm/driver/SslDriverArgument.h"

#include <arpa/inet.h>
#include <charconv>

namespace rs::http {

std::optional<ListenAddress> parseListenAddress(const std::string& text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return std::nullopt; // an IPv6 address needs its brackets
    }
    const std::string portText = text.substr(colon + 1);
    int port = 0;
    auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() || port < 1
        || port > 65535)
        return std::nullopt;
    return ListenAddress { host, port };
}

bool isLoopbackHost(const std::string& host)
{
    if (host == "localhost")
        return true;
    in_addr v4 {};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6 {};
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

namespace {

// The SSL driver's argument as the driver itself would read it.
std::optional<std::string> driverArgument(const kav::ConfParamReader& params)
{
    std::optional<std::string> argument = params(zephcommdrv::kDriverArgumentVariable);
    if (argument && argument->starts_with("$"))
        return params(argument->substr(1));
    return argument;
}

} // namespace

SideDoorChoice chooseSideDoor(const kav::ConfParamReader& params)
{
    SideDoorChoice choice;
    const std::optional<std::string> listen = params(kListenParameter);
    if (!listen || listen->empty())
        return choice;
    const std::optional<ListenAddress> address = parseListenAddress(*listen);
    if (!address) {
        choice.problem = std::string(kListenParameter) + "='" + *listen
            + "' is not HOST:PORT (a port of 1 to 65535): the HTTP side door stays shut";
        return choice;
    }
    SideDoorSettings settings { address->host, address->port, isLoopbackHost(address->host), {}, {} };
    if (!settings.loopback) {
        const std::optional<std::string> argument = driverArgument(params);
        const auto ssl = zephcommSslTcpDrv::parseSslDriverArgument(argument ? argument->c_str() : nullptr);
        if (!ssl || ssl->certificate.empty() || ssl->asn1()) {
            choice.problem = std::string(kListenParameter) + "='" + *listen
                + "' is not a loopback address, so the HTTP side door needs TLS: give the PEM certificate"
                  " (and key) in RS_DRIVER_ARG='SSL[CERTIFICATE=...,PRIVATE_KEY=...]'; the HTTP side door"
                  " stays shut";
            return choice;
        }
        settings.certificate = ssl->certificate;
        settings.privateKey = ssl->privateKey.empty() ? ssl->certificate : ssl->privateKey;
    }
    choice.settings = settings;
    return choice;
}

} // namespace rs::http
