#pragma once
// KavSecurityServer: the server side of logon. After initialize(), any
// number of worker threads may call authenticate() at once on the one
// shared context; each thread then reads its own user name.
//
// Threads: initialize() and finalize() on the main thread while no worker
// authenticates; authenticate() and getRemoteUserName() from any thread.
// Credentials and tokens are never logged.

#include "rs/security/KavData.h"
#include "rs/security/KavSecurity.h"

#include <string>

namespace kav {

class KavSecurityServer : public KavSecurity {
public:
    explicit KavSecurityServer(ConfParamReader params = resourceManagerConfParams());
    ~KavSecurityServer() override;

    // Throws 0x91015F9E when the library has no user for this thread.
    void getRemoteUserName(std::string& userName) override;
    // Rethrows the base's failures; throws 0x91015F93 when the server side
    // cannot be set up.
    void initialize() override;
    void finalize() override;

    // Checks the credential. On success token holds the answer token and
    // userName the authenticated user. Throws 0x91015F98 for a refused
    // credential (unknown user, wrong password), 0x91015F99 for any other
    // answer of the library.
    void authenticate(const KavData& credential, KavData& token, std::string& userName);
};

} // namespace kav
