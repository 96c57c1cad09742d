#pragma once
// The status page, served from the binary: no build step, no external asset.

#include <string_view>

namespace rs::http {

extern const std::string_view kPageHtml;
extern const std::string_view kPageCss;
extern const std::string_view kPageJs;

} // namespace rs::http
