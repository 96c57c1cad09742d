#include "i18n/CatalogueFixture.h"

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

// A code without a text keeps the other fields, and the catalogue's failure
// neither replaces nor frees the thread's own record being reported.
TEST_F(CatalogueTest, ErrorLineOfAnUnknownCodeKeepsTheFieldsAndTheThreadsRecord)
{
    auto owned = std::make_unique<KavErrorInfo>(static_cast<int32_t>(0x8F123456u), "Own.cpp:5", "", "mine");
    const KavErrorInfo* own = owned.get();
    setErrorInfo(std::move(owned));
    EXPECT_EQ(errorLine(*peekErrorInfo()), "Code[S" + std::to_string(0x123456) + "]: Own.cpp:5  mine ");
    EXPECT_EQ(peekErrorInfo(), own);

    clearErrorInfo();
    errorLine(KavErrorInfo(static_cast<int32_t>(0x8F123456u), "", "", ""));
    EXPECT_EQ(peekErrorInfo(), nullptr);
}

} // namespace
} // namespace kav
