// Fuzz target: the password file of the password plug-in. Every account
// kept must have a storable user name and a crypt(3)-shaped hash, and an
// account line must not lose its user.

#include "FuzzSupport.h"

#include "platform/wardn/PasswordFile.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const wardn::Accounts accounts = wardn::parseAccounts(text);
    for (const auto& [user, hash] : accounts) {
        fuzz::check(wardn::isValidUserName(user), "an account with an invalid user name");
        fuzz::check(!hash.empty() && hash.front() == '$', "an account without a crypt hash");
        fuzz::check(hash.find_first_of(" \t\r\n:") == std::string::npos, "a hash with separators");
        fuzz::check(text.find(user + ":" + hash) != std::string_view::npos, "an account not in the text");
    }
    return 0;
}
