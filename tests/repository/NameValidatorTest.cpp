#include "rs/repository/NameValidator.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using kav::NameKind;
using kav::NameValidator;

namespace {

bool refused(std::string_view value, NameKind kind)
{
    return NameValidator::refusalReason(value, kind) != nullptr;
}

TEST(StorageNames, OrdinaryNamesPass)
{
    for (std::string_view name :
        { "calc", "calc.zip", "Calc-2.0_x86", "a b", ".hidden", "..x", "calc.type_linux" })
        EXPECT_FALSE(refused(name, NameKind::Segment)) << name;
    EXPECT_FALSE(refused(std::string(255, 'n'), NameKind::Segment));
    for (std::string_view consumer : { "", "team", "team/sub", "a/b/c/d", ".global" })
        EXPECT_FALSE(refused(consumer, NameKind::Consumer)) << consumer;
}

TEST(StorageNames, HostileSegmentsAreRefused)
{
    using namespace std::string_literals;
    for (const std::string& name : { ""s, "."s, ".."s, "a/b"s, "/"s, "a|b"s, "a\nb"s, "a\rb"s, "a\0b"s,
             std::string(256, 'n'), ".index"s, ".index.tmp"s, ".persist"s, ".nfs1"s })
        EXPECT_TRUE(refused(name, NameKind::Segment)) << '"' << name << '"';
}

TEST(StorageNames, HostileConsumerPathsAreRefused)
{
    using namespace std::string_literals;
    for (const std::string& consumer : { "/"s, "/abs"s, "trailing/"s, "a//b"s, "a/./b"s, "a/../b"s, ".."s,
             "a/.."s, "a|b"s, "a/b\n"s, "a\0/b"s, "ok/"s + std::string(256, 'n'), "a/.index"s })
        EXPECT_TRUE(refused(consumer, NameKind::Consumer)) << '"' << consumer << '"';
    EXPECT_FALSE(refused(std::string(255, 'n') + "/" + std::string(255, 'm'), NameKind::Consumer))
        << "the length limit is per segment";
}

// An application name is a field of an index line and never a path: only
// what the line cannot hold is refused.
TEST(StorageNames, FieldNamesAreRefusedOnlyForWhatTheLineCannotHold)
{
    using namespace std::string_literals;
    for (const std::string& name :
        { "web/front"s, "."s, ".."s, "../x"s, "/"s, ".index"s, "a\0b"s, std::string(256, 'n') })
        EXPECT_FALSE(refused(name, NameKind::Field)) << '"' << name << '"';
    for (const std::string& name : { ""s, "a|b"s, "|"s, "a\nb"s, "a\rb"s })
        EXPECT_TRUE(refused(name, NameKind::Field)) << '"' << name << '"';
}

TEST(StorageNames, RefusalCarriesArgumentAndReason)
{
    storagetest::LogCapture log("repository.work");
    try {
        NameValidator::check("moduleName", std::string_view("../etc\n", 7), NameKind::Segment);
        FAIL() << "no exception";
    } catch (kav::KavException* e) {
        auto info = e->takeInfo();
        int32_t code = e->code();
        e->release();
        EXPECT_EQ(code, kav::rc::RS_BAD_NAME);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->getCode(), kav::rc::RS_BAD_NAME);
        // The catalogue text names the argument, the value (escaped) and the reason.
        ASSERT_EQ(info->getParams().size(), 3u);
        EXPECT_EQ(info->getParams()[0], "moduleName");
        EXPECT_EQ(info->getParams()[1], "../etc\\x0A");
        EXPECT_EQ(info->getParams()[2], "contains \"/\"");
    }
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0].find("moduleName"), std::string::npos);
    EXPECT_EQ(log.messages()[0].find('\n'), std::string::npos) << "control bytes are escaped in the log";
}

TEST(StorageNames, ValidateLeavesErrorInformation)
{
    kav::clearErrorInfo();
    EXPECT_EQ(NameValidator::validate("consumer", "team/sub", NameKind::Consumer), kav::rc::OK);
    EXPECT_EQ(kav::peekErrorInfo(), nullptr);
    EXPECT_EQ(NameValidator::validate("applicationName", "", NameKind::Segment), kav::rc::RS_BAD_NAME);
    auto info = kav::takeErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getParams().at(0), "applicationName");
    EXPECT_EQ(info->getParams().at(1), "");
    EXPECT_EQ(info->getParams().at(2), "is empty");
}

} // namespace
