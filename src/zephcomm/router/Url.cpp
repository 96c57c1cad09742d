#include "zephcomm/router/Url.h"

namespace zephcomm {

namespace {

constexpr std::string_view kPrefix = "zephcomm:";
constexpr std::string_view kAddressMark = "||";

// Splits "a+b+c" into the three fields; the third ends at a further "+".
void splitFields(std::string_view text, ParsedUrl& url)
{
    std::string* fields[] = { &url.first, &url.second, &url.rest };
    for (std::string* field : fields) {
        if (text.empty())
            return;
        size_t plus = text.find('+');
        *field = std::string(text.substr(0, plus));
        text = plus == std::string_view::npos ? std::string_view() : text.substr(plus + 1);
    }
}

} // namespace

std::optional<ParsedUrl> parseUrl(std::string_view url)
{
    if (url.size() > kMaxUrlLength)
        return std::nullopt;
    ParsedUrl parsed;
    if (!url.starts_with(kPrefix)) {
        if (url.empty())
            return std::nullopt;
        parsed.address = std::string(url);
        return parsed;
    }
    std::string_view body = url.substr(kPrefix.size());
    size_t mark = body.find(kAddressMark);
    if (mark == std::string_view::npos)
        return std::nullopt;
    std::string_view address = body.substr(mark + kAddressMark.size());
    if (address.empty() || address.size() > kMaxAddressLength)
        return std::nullopt;
    parsed.address = std::string(address);
    splitFields(body.substr(0, mark), parsed);
    return parsed;
}

} // namespace zephcomm
