#include "rs/repository/NameValidator.h"

#include "common/KavErrorInfo.h"
#include "common/LogCapture.h"
#include "common/ResultCodes.h"

#include <gtest/gtest.h>

using kav::NameKind;
using kav::NameValidator;
using namespace std::string_literals;

namespace {

// A module or file name is one path segment, a consumer a relative path of
// segments, an application name only a field of an index line.
TEST(StorageNames, HostileNamesAreRefusedAndOrdinaryOnesPass)
{
    const std::string longest(255, 'n');
    const struct {
        NameKind kind;
        std::vector<std::string> passing, refused;
    } kinds[] = {
        { NameKind::Segment, { "calc", "Calc-2.0_x86", "a b", ".hidden", "..x", "calc.type_linux", longest },
            { ""s, "."s, ".."s, "a/b"s, "/"s, "a|b"s, "a\nb"s, "a\rb"s, "a\0b"s, longest + "n", ".index"s,
                ".index.tmp"s, ".persist"s, ".nfs1"s } },
        { NameKind::Consumer, { "", "team", "a/b/c/d", ".global", longest + "/" + longest },
            { "/"s, "/abs"s, "trailing/"s, "a//b"s, "a/./b"s, "a/../b"s, ".."s, "a/.."s, "a|b"s, "a/b\n"s,
                "a\0/b"s, "ok/" + longest + "n", "a/.index"s } },
        { NameKind::Field, { "web/front", ".", "..", "../x", "/", ".index", "a\0b"s, longest + "n" },
            { ""s, "a|b"s, "|"s, "a\nb"s, "a\rb"s } },
    };
    for (const auto& kind : kinds) {
        for (const std::string& name : kind.passing)
            EXPECT_EQ(NameValidator::refusalReason(name, kind.kind), nullptr) << '"' << name << '"';
        for (const std::string& name : kind.refused)
            EXPECT_NE(NameValidator::refusalReason(name, kind.kind), nullptr) << '"' << name << '"';
    }
}

TEST(StorageNames, RefusalCarriesArgumentEscapedValueAndReason)
{
    kav::test::LogCapture log(log4cxx::Logger::getLogger("repository.work"));
    EXPECT_EQ(NameValidator::validate("moduleName", std::string_view("../etc\n", 7), NameKind::Segment),
        kav::rc::RS_BAD_NAME);
    auto info = kav::takeErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getParams(), (kav::Params { "moduleName", "../etc\\x0A", "contains \"/\"" }));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].message.find("moduleName"), std::string::npos);
    EXPECT_EQ(log.lines()[0].message.find('\n'), std::string::npos) << "control bytes are escaped in the log";
}

} // namespace
