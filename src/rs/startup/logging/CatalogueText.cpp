#include "rs/startup/logging/CatalogueText.h"

#if RS_HAVE_I18N
#include "rs/i18n/NarvI18n.h"
#endif

namespace kav {

std::optional<std::string> formatCatalogueMessage(uint32_t number, const Params& params)
{
#if RS_HAVE_I18N
    std::string text;
    if (NarvI18n::instance().i18n(number, params, text) >= 0 && !text.empty())
        return text;
    delete takeErrorInfo();
#else
    (void)number;
    (void)params;
#endif
    return std::nullopt;
}

std::string catalogueText(uint32_t number, const Params& params)
{
    if (auto text = formatCatalogueMessage(number, params))
        return *text;
    std::string fallback = "message " + std::to_string(number);
    for (const auto& p : params)
        fallback += " " + p;
    return fallback;
}

} // namespace kav
