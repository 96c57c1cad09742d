#include "zephcomm/router/DriverLoader.h"
#include "zephcomm/router/DriverOptions.h"
#include "zephcomm/router/Url.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <gtest/gtest.h>

namespace zephcomm {
namespace {

TEST(UrlTest, AddressFollowsTheMarkAndFieldsAreSplitAtPlusSigns)
{
    const struct {
        std::string text;
        const char* address; // nullptr: invalid
        const char* first;
        const char* second;
        const char* rest;
    } rows[] = {
        { "host:1234", "host:1234", "", "", "" },
        { "zephcomm:x||host:1234", "host:1234", "x", "", "" },
        { "zephcomm:a+b+c||h:1", "h:1", "a", "b", "c" },
        { "zephcomm:||", nullptr, "", "", "" },
        { "zephcomm:x", nullptr, "", "", "" },
        { "", nullptr, "", "", "" },
        { "zephcomm:||" + std::string(kMaxAddressLength + 1, 'a'), nullptr, "", "", "" },
        { std::string(kMaxUrlLength + 1, 'a'), nullptr, "", "", "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 40));
        auto url = parseUrl(row.text);
        ASSERT_EQ(url.has_value(), row.address != nullptr);
        if (!url)
            continue;
        EXPECT_EQ(url->address, row.address);
        EXPECT_EQ(url->first, row.first);
        EXPECT_EQ(url->second, row.second);
        EXPECT_EQ(url->rest, row.rest);
    }
    EXPECT_TRUE(parseUrl("zephcomm:||" + std::string(kMaxAddressLength, 'a')));
}

TEST(DriverOptionsTest, PairsAreParsedAndMalformedOrDuplicatedOnesRefused)
{
    auto parsed = parseDriverOptions("TCP_NODELAY=1,TCP_SEND_BUFFER_SIZE=70000");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options,
        (std::map<std::string, std::string> { { "TCP_NODELAY", "1" }, { "TCP_SEND_BUFFER_SIZE", "70000" } }));
    EXPECT_TRUE(parseDriverOptions("").ok);

    parsed = parseDriverOptions("TCP_NODELAY=1,TCP_NODELAY=0");
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error, kOptionsDuplicateError);
    for (const char* text : { "TCP_NODELAY", "=1", "TCP_NODELAY=", "A=1,B" }) {
        parsed = parseDriverOptions(text);
        EXPECT_FALSE(parsed.ok) << text;
        EXPECT_TRUE(parsed.error.starts_with(kOptionsParseError)) << text;
    }
}

// Each test runs in a process of its own, so the process-wide loader starts empty.
TEST(DriverLoaderTest, AnUnsetParameterBadOptionsOrAnUnknownDriverLeaveNoDriver)
{
    DriverLoader& loader = DriverLoader::instance();
    loader.setParameterLookup([](const std::string&) { return std::nullopt; });
    EXPECT_EQ(init(1, nullptr, "$NO_SUCH_PARAMETER", nullptr), -1);
    auto info = kav::takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->getCode(), kav::rc::ZEPHCOMM_DRIVER_INIT_FAIL);
    EXPECT_EQ(init(1, nullptr, nullptr, "TCP_NODELAY=1,TCP_NODELAY=0"), -1);
    EXPECT_EQ(init(1, "NOSUCHDRIVER", nullptr, nullptr), -1);
    EXPECT_EQ(loader.driver(), nullptr);
}

} // namespace
} // namespace zephcomm
