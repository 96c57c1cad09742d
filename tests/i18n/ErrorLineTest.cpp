#include "i18n/CatalogueFixture.h"

#include "common/LogCapture.h"
#include "common/ResultCodes.h"
#include "rs/i18n/ErrorLine.h"

#include <memory>

namespace kav {
namespace {

using test::CatalogueTest;

TEST_F(CatalogueTest, ErrorLineJoinsCodeFieldsAndCatalogueText)
{
    KavErrorInfo info(rc::RS_NO_SUCH_PACKAGE, "Work.cpp:12", "ctx", "detail", { "pkg" });
    const std::string catalogue = text(rc::messageNumber(rc::RS_NO_SUCH_PACKAGE), { "pkg" });
    ASSERT_FALSE(catalogue.empty());
    EXPECT_EQ(errorLine(info), "Code[S85045]: Work.cpp:12 ctx detail " + catalogue);
}

TEST_F(CatalogueTest, ErrorLineOfAnUnknownCodeKeepsTheOtherFields)
{
    KavErrorInfo info(static_cast<int32_t>(0x8F123456u), "X.cpp:1", "", "why", {});
    EXPECT_EQ(errorLine(info), "Code[S" + std::to_string(0x123456) + "]: X.cpp:1  why ");
}

TEST_F(CatalogueTest, ErrorLineLeavesTheThreadsRecordInPlace)
{
    // The reported record is the thread's own, and its text is missing: the
    // catalogue failure must neither replace nor free it.
    auto owned = std::make_unique<KavErrorInfo>(static_cast<int32_t>(0x8F123456u), "Own.cpp:5", "", "mine");
    const KavErrorInfo* own = owned.get();
    setErrorInfo(std::move(owned));
    const std::string line = errorLine(*peekErrorInfo());
    EXPECT_EQ(peekErrorInfo(), own);
    EXPECT_NE(line.find("Own.cpp:5"), std::string::npos);

    clearErrorInfo();
    errorLine(KavErrorInfo(static_cast<int32_t>(0x8F123456u), "", "", ""));
    EXPECT_EQ(peekErrorInfo(), nullptr);
}

TEST_F(CatalogueTest, CatalogueTextIsEmptyWhenMissing)
{
    EXPECT_TRUE(catalogueText(999999).empty());
    EXPECT_EQ(catalogueText(msg::STARTED), text(msg::STARTED));
}

TEST_F(CatalogueTest, LogErrorLineWritesTheLineAtTheGivenLevel)
{
    auto logger = log4cxx::Logger::getLogger("test.errorline");
    test::LogCapture capture(logger, log4cxx::Level::getWarn());
    KavErrorInfo info(rc::RS_BAD_HOST, "Here.cpp:7", "", "", { "node9" });
    logErrorLine(logger, log4cxx::Level::getWarn(), info);
    logErrorLine(logger, log4cxx::Level::getDebug(), info);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::getWarn());
    EXPECT_EQ(lines[0].message, errorLine(info));
    EXPECT_NE(lines[0].message.find("node9"), std::string::npos);
}

} // namespace
} // namespace kav
