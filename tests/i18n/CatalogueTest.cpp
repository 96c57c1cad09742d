#include "i18n/CatalogueFixture.h"

#include "common/ResultCodes.h"

#include <unicode/locid.h>

#include <filesystem>
#include <memory>

namespace kav {
namespace {

using test::CatalogueTest;

TEST(CatalogueClosed, FormattingBeforeInitFailsWithEmptyText)
{
    NarvI18n::instance().cleanup();
    clearErrorInfo();
    std::string out = "stale";
    EXPECT_EQ(NarvI18n::instance().i18n(msg::STARTED, out), rc::I18N_NOT_INITIALISED);
    EXPECT_TRUE(out.empty());
    auto info = takeErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getCode(), rc::I18N_NOT_INITIALISED);
}

TEST_F(CatalogueTest, MissingNumberGivesNoMessageAndEmptyText)
{
    std::string out = "stale";
    EXPECT_EQ(NarvI18n::instance().i18n(424242, { "x" }, out), rc::I18N_NO_MESSAGE);
    EXPECT_TRUE(out.empty());
    auto info = takeErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getCode(), rc::I18N_NO_MESSAGE);
    EXPECT_NE(info->getDetail().find("424242"), std::string::npos) << info->getDetail();
}

TEST_F(CatalogueTest, ParametersSubstituteInOrder)
{
    std::string out = text(rc::messageNumber(rc::RS_NAME_CASE_CLASH), { "calc", "Calc" });
    size_t first = out.find("calc");
    size_t second = out.find("Calc");
    ASSERT_NE(first, std::string::npos) << out;
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_EQ(out.find('{'), std::string::npos) << out;
}

TEST_F(CatalogueTest, ParametersAreTakenLiterallyAndKeepUtf8)
{
    const std::string hostile = "{1} 'quoted' \xc3\xa4\xc3\xb6 %s";
    std::string out = text(rc::messageNumber(rc::RS_NO_SUCH_PACKAGE), { hostile });
    EXPECT_NE(out.find(hostile), std::string::npos) << out;
}

TEST_F(CatalogueTest, MissingParametersBecomeEmptyNotRawPlaceholders)
{
    std::string out = text(rc::messageNumber(rc::RS_DEPLOY_COMMAND_TIMEOUT), { "installation" });
    EXPECT_NE(out.find("installation"), std::string::npos);
    EXPECT_EQ(out.find('{'), std::string::npos) << out;
}

TEST_F(CatalogueTest, CodeAndItsMessageNumberGiveTheSameText)
{
    std::string byCode;
    ASSERT_EQ(NarvI18n::instance().i18n(static_cast<uint32_t>(rc::RS_NO_SUCH_PACKAGE), { "p" }, byCode), 0);
    EXPECT_EQ(byCode, text(rc::messageNumber(rc::RS_NO_SUCH_PACKAGE), { "p" }));
}

TEST_F(CatalogueTest, TranslatedLocaleIsUsedWhenAskedFor)
{
    const std::string root = text(msg::STARTED);
    const std::string rootFallback = text(msg::NO_ERROR_INFO);
    ASSERT_EQ(NarvI18n::instance().init("de"), 0);
    const std::string german = text(msg::STARTED);
    EXPECT_FALSE(german.empty());
    EXPECT_NE(german, root);
    // Keys without a translation fall back to the root text.
    EXPECT_EQ(text(msg::NO_ERROR_INFO), rootFallback);
    // A locale without translations uses the root texts (ICU tries the
    // process default locale first, so make that one untranslated too).
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale previous = icu::Locale::getDefault();
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    ASSERT_EQ(NarvI18n::instance().init("fr"), 0);
    EXPECT_EQ(text(msg::STARTED), root);
    icu::Locale::setDefault(previous, status);
}

TEST(CatalogueData, EnvironmentVariableNamesTheFileOrItsDirectory)
{
    test::useBuiltCatalogue();
    const std::string viaDirectory = NarvI18n::locateDataFile();
    ASSERT_FALSE(viaDirectory.empty());
    EXPECT_EQ(std::filesystem::path(viaDirectory).filename(), NarvI18n::kDataFileName);

    setenv(NarvI18n::kDataEnvVariable, viaDirectory.c_str(), 1);
    EXPECT_EQ(NarvI18n::locateDataFile(), viaDirectory);

    setenv(NarvI18n::kDataEnvVariable, "/nonexistent/rs-catalogue", 1);
    EXPECT_TRUE(NarvI18n::locateDataFile().empty());
    clearErrorInfo();
    EXPECT_EQ(NarvI18n::instance().init(), rc::I18N_NO_DATA);
    auto info = takeErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_NE(info->getDetail().find("Cannot locate narv_resource file."), std::string::npos);
    EXPECT_FALSE(NarvI18n::instance().isInitialised());
    test::useBuiltCatalogue();
}

} // namespace
} // namespace kav
