#include "rs/core/LogonCheck.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/core/ServiceContext.h"

namespace rs {

void checkLogon(ServiceContext& context, const std::string& credential, const std::string& consumer,
    std::string& responseToken, std::string& userName)
{
    if (context.authenticate(credential, responseToken, userName) < 0) {
        kav::clearErrorInfo(); // the security library's reason stays in its DEBUG line
        KAV_THROW(kav::rc::RS_LOGON_FAILED, "logon refused");
    }
    // The empty consumer names the repository's global index, which is no
    // consumer of the resource manager.
    if (!consumer.empty() && context.checkConsumerId(consumer) < 0)
        KAV_THROW(kav::rc::RS_BAD_CONSUMER, "consumer refused", { consumer });
}

} // namespace rs
