#include "rs/logging/CatalogueText.h"

#include "rs/i18n/ErrorLine.h"

namespace kav {

std::optional<std::string> formatCatalogueMessage(uint32_t number, const Params& params)
{
    std::string text = catalogueText(number, params);
    if (text.empty())
        return std::nullopt;
    return text;
}

std::string logText(uint32_t number, const Params& params)
{
    if (auto text = formatCatalogueMessage(number, params))
        return *text;
    std::string fallback = "message " + std::to_string(number);
    for (const auto& p : params)
        fallback += " " + p;
    return fallback;
}

} // namespace kav
