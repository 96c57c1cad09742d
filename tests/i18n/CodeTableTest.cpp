// Every result code and message number has a text in every locale shipped
// that formats without a raw placeholder; a code's text shows every
// parameter its raising sites pass (a message's count is only its most).

#include "i18n/CatalogueFixture.h"

#include "common/ResultCodes.h"

namespace kav {
namespace {

using test::CatalogueTest;

Params sentinels(unsigned count)
{
    Params params;
    for (unsigned i = 0; i < count; ++i)
        params.push_back("<<param" + std::to_string(i) + ">>");
    return params;
}

void expectFormats(uint32_t number, unsigned paramCount, bool showsAll)
{
    std::string out;
    ASSERT_EQ(NarvI18n::instance().i18n(number, sentinels(paramCount), out), 0);
    EXPECT_FALSE(out.empty());
    for (const std::string& param : sentinels(showsAll ? paramCount : 0))
        EXPECT_NE(out.find(param), std::string::npos) << param << " unused: " << out;
    EXPECT_EQ(out.find('{'), std::string::npos) << out;
}

TEST_F(CatalogueTest, EveryCodeAndMessageFormatsWithAllItsParametersInEveryLocale)
{
    for (const char* locale : { "root", "de" }) {
        ASSERT_EQ(NarvI18n::instance().init(locale), 0);
        for (const auto& entry : rc::kAllResultCodes) {
            SCOPED_TRACE(std::string(locale) + " " + entry.name);
            expectFormats(static_cast<uint32_t>(entry.code), entry.paramCount, true);
        }
        for (const auto& entry : msg::kAllMessageNumbers) {
            SCOPED_TRACE(std::string(locale) + " " + entry.name);
            expectFormats(entry.number, entry.paramCount, false);
        }
    }
}

} // namespace
} // namespace kav
