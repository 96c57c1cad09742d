#pragma once
// Whether and where the HTTP side door listens, read once at start-up.
//
// RS_HTTP_LISTEN=HOST:PORT (a configuration parameter: the cluster file's
// [params] or, overriding it, the environment) turns it on. On a loopback
// address it is plain HTTP without logon. On any other address it needs TLS
// with the certificate (and key) of the SSL driver's argument RS_DRIVER_ARG
// ("SSL[CERTIFICATE=...,PRIVATE_KEY=...]", or "$NAME" naming the parameter
// that holds it), and HTTP Basic logon.
//
// Pure: a function of the parameters it is handed.

#include "rs/logging/ConfParam.h"

#include <optional>
#include <string>

namespace rs::http {

inline constexpr const char* kListenParameter = "RS_HTTP_LISTEN";

struct SideDoorSettings {
    std::string host; // as given, without the brackets of an IPv6 address
    int port = 0;
    bool loopback = false;
    // Set when not loopback (PEM files; the key defaults to the certificate file).
    std::string certificate;
    std::string privateKey;
};

struct ListenAddress {
    std::string host;
    int port = 0;
};

// "HOST:PORT", "[IPV6]:PORT"; a port of 1..65535. None when malformed.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

// 127.0.0.0/8, ::1 and "localhost".
bool isLoopbackHost(const std::string& host);

struct SideDoorChoice {
    std::optional<SideDoorSettings> settings; // none: the side door stays shut
    std::string problem; // why it stays shut although it was asked for
};

SideDoorChoice chooseSideDoor(const kav::ConfParamReader& params);

} // namespace rs::http
