#include "rs/security/KavSecurityServer.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "platform/wardn/wardn.h"

#include <memory>

namespace kav {

namespace {

constexpr int kHandshakeDone = SEC_DONE;
constexpr int kHandshakeDenied = SEC_DENIED;

struct SecFree {
    void operator()(void* block) const { sec_free(block); }
};

} // namespace

KavSecurityServer::KavSecurityServer(ConfParamReader params)
    : KavSecurity(std::move(params))
{
}

KavSecurityServer::~KavSecurityServer() = default;

void KavSecurityServer::initialize()
{
    try {
        KavSecurity::initialize();
        if (sec_server_initialize(&context_, 0) != 0)
            KAV_THROW(rc::SEC_SERVER_INIT_FAILED, "sec_server_initialize failed");
    } catch (KavException*) {
        throw;
    } catch (...) {
        // Anything else is reported like every other failure: as error information.
        absorbCurrentException(__FILE__, __LINE__);
        rethrowError(takeErrorInfo());
    }
}

void KavSecurityServer::finalize()
{
    if (context_) {
        sec_server_finalize(context_);
        context_ = nullptr;
    }
    KavSecurity::finalize();
}

void KavSecurityServer::getRemoteUserName(std::string& userName)
{
    const char* name = nullptr;
    if (sec_remote_username(context_, &name) != 0 || !name)
        KAV_THROW(rc::SEC_REMOTE_USER_FAILED, "sec_remote_username failed");
    userName = name;
}

void KavSecurityServer::authenticate(const KavData& credential, KavData& token, std::string& userName)
{
    void* output = nullptr;
    size_t outputLength = 0;
    const int result
        = sec_server_start(context_, credential.data(), credential.length(), &output, &outputLength);
    const std::unique_ptr<void, SecFree> answer(output);
    token.assign(output, outputLength);
    // Only a completed handshake has a user; asking after a refusal would
    // hide the refusal behind a missing-user failure.
    if (result == kHandshakeDone) {
        getRemoteUserName(userName);
        return;
    }
    if (result == kHandshakeDenied)
        KAV_THROW(rc::SEC_AUTH_FAILED, "credential refused");
    KAV_THROW(rc::SEC_AUTH_ERROR, "handshake not completed", { std::to_string(result) });
}

} // namespace kav
