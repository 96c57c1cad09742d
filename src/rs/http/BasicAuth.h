#pragma once
// HTTP Basic logon: the credential an Authorization header carries.
//
// Pure.

#include <optional>
#include <string>

namespace rs::http {

// "Basic <base64 of user:password>" (scheme in any case) gives
// "user:password"; none for another scheme, bad base64, no ':' or an empty
// user name.
std::optional<std::string> basicCredential(const std::string& authorization);

} // namespace rs::http
