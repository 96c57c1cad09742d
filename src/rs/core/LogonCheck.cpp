#include "rs/core/LogonCheck.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/core/RepositoryService.h"

namespace rs {

void checkLogon(const std::string& credential, const std::string& consumer, std::string& responseToken,
                std::string& userName)
{
    auto& service = RepositoryService::instance();
    if (service.authenticate(credential, responseToken, userName) < 0) {
        kav::clearErrorInfo(); // the security library's reason stays in its DEBUG line
        KAV_THROW(kav::rc::RS_LOGON_FAILED, "logon refused");
    }
    // The empty consumer names the repository's global index, which is no
    // consumer of the resource manager.
    if (!consumer.empty() && service.checkConsumerId(consumer) < 0)
        KAV_THROW(kav::rc::RS_BAD_CONSUMER, "consumer refused", { consumer });
}

} // namespace rs
