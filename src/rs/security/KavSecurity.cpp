#include "rs/security/KavSecurity.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "platform/wardn/wardn.h"

namespace kav {

KavSecurity::KavSecurity(ConfParamReader params)
    : params_(std::move(params))
{
}

KavSecurity::~KavSecurity() = default;

void KavSecurity::initialize()
{
    std::string pluginName = params_("QEL_SEC_PLUGIN").value_or("");
    const std::string conf = params_("QEL_SEC_CONF").value_or("");
    if (pluginName.empty())
        KAV_THROW(rc::SEC_NO_PLUGIN, "QEL_SEC_PLUGIN is not set");
    pluginName += kLibrarySuffix;
    if (sec_initialize(pluginName.c_str(), conf.c_str()) != 0)
        KAV_THROW(rc::SEC_INIT_FAILED, "sec_initialize failed", { pluginName });
    loaded_ = true;
}

void KavSecurity::finalize()
{
    if (!loaded_)
        return;
    loaded_ = false;
    if (sec_finalize() != 0)
        KAV_THROW(rc::SEC_INIT_FAILED, "sec_finalize failed");
}

} // namespace kav
