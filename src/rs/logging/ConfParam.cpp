#include "rs/logging/ConfParam.h"

#if RS_HAVE_ZOR
#include "platform/zor/zor.h"
#endif

#include <cstdlib>

namespace kav {

ConfParamReader resourceManagerConfParams()
{
    return [](const std::string& name) -> std::optional<std::string> {
#if RS_HAVE_ZOR
        const char* value = zor_getconfparam(name.c_str());
#else
        // Without the resource manager's library the environment stands in.
        const char* value = std::getenv(name.c_str());
#endif
        if (!value)
            return std::nullopt;
        return std::string(value);
    };
}

} // namespace kav
