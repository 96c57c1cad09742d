#include "i18n/CatalogueFixture.h"

#include "common/ResultCodes.h"

namespace kav {
namespace {

using test::CatalogueTest;

TEST_F(CatalogueTest, AMissingNumberGivesNoMessageAndEmptyText)
{
    std::string out = "stale";
    EXPECT_EQ(NarvI18n::instance().i18n(424242, { "x" }, out), rc::I18N_NO_MESSAGE);
    EXPECT_TRUE(out.empty());
    auto info = takeErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_NE(info->getDetail().find("424242"), std::string::npos) << info->getDetail();
}

// Parameters come from users and peers: they are shown as they are, in
// order, and a text never shows a raw placeholder.
TEST_F(CatalogueTest, ParametersAreShownLiterallyInOrderAndMissingOnesAsNothing)
{
    std::string out = text(rc::messageNumber(rc::RS_NAME_CASE_CLASH), { "calc", "Calc" });
    EXPECT_LT(out.find("calc"), out.find("Calc")) << out;
    const std::string hostile = "{1} 'quoted' \xc3\xa4\xc3\xb6 %s";
    out = text(rc::messageNumber(rc::RS_NO_SUCH_PACKAGE), { hostile });
    EXPECT_NE(out.find(hostile), std::string::npos) << out;
    out = text(rc::messageNumber(rc::RS_DEPLOY_COMMAND_TIMEOUT), { "installation" });
    EXPECT_NE(out.find("installation"), std::string::npos);
    EXPECT_EQ(out.find('{'), std::string::npos) << out;
}

} // namespace
} // namespace kav
