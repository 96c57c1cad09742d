#pragma once
// The password file of the sec_passwd plug-in: one account per line,
// "user:HASH" with HASH a crypt(3) string (yescrypt "$y$..." or SHA-512
// "$6$..."); blank lines and lines starting with '#' are ignored, as are
// lines that do not have that form. Shared by the plug-in (reading,
// verifying) and the rspasswd tool (adding, changing).
//
// Thread-safety: free functions without shared state; safe from any thread.

#include <map>
#include <string>
#include <string_view>

namespace wardn {

using Accounts = std::map<std::string, std::string, std::less<>>; // user -> hash

// The accounts of a file's text; later lines win over earlier ones.
Accounts parseAccounts(std::string_view text);

// A user name may be stored: not empty, at most 255 bytes, no ':', no
// blank, no control character.
bool isValidUserName(std::string_view user);

// A fresh yescrypt hash of password (random salt). Throws std::runtime_error
// when the system cannot produce one.
std::string hashPassword(std::string_view password);

// True when password matches hash. The comparison takes the same time
// whatever the position of the first difference.
bool verifyPassword(std::string_view password, const std::string& hash);

// Adds user with the hash of password to the file at path, or replaces the
// user's hash, keeping every other line. The file is rewritten through a
// temporary file and a rename, with mode 0600. Throws std::runtime_error with
// a message naming the path (never the password) on failure.
void setPassword(const std::string& path, std::string_view user, std::string_view password);

} // namespace wardn
