#pragma once
// URLs of acceptors and connectors: either a plain address ("host:port") or
// "zephcomm:" fields "||" address, where the fields are up to three texts
// separated by "+". Pure functions: callable from any thread.

#include <optional>
#include <string>
#include <string_view>

namespace zephcomm {

constexpr size_t kMaxUrlLength = 3071;
constexpr size_t kMaxAddressLength = 1023;

struct ParsedUrl {
    std::string address;
    // The optional fields between the prefix and "||" (unused by this system).
    std::string first;
    std::string second;
    std::string rest;
};

// None when the URL is invalid (too long, no "||", empty or too long address).
std::optional<ParsedUrl> parseUrl(std::string_view url);

} // namespace zephcomm
