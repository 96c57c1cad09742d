#include "zephcomm/router/DriverLoader.h"
#include "zephcomm/router/DriverOptions.h"
#include "zephcomm/router/Url.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <gtest/gtest.h>

namespace zephcomm {
namespace {

TEST(UrlTest, PlainTextIsTheAddress)
{
    auto url = parseUrl("host:1234");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->address, "host:1234");
}

TEST(UrlTest, PrefixedUrlTakesTheAddressAfterTheMark)
{
    auto url = parseUrl("zephcomm:x||host:1234");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->address, "host:1234");
    EXPECT_EQ(url->first, "x");
}

TEST(UrlTest, FieldsAreSplitAtPlusSigns)
{
    auto url = parseUrl("zephcomm:a+b+c||h:1");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->first, "a");
    EXPECT_EQ(url->second, "b");
    EXPECT_EQ(url->rest, "c");
}

TEST(UrlTest, EmptyOrMissingAddressIsInvalid)
{
    EXPECT_FALSE(parseUrl("zephcomm:||"));
    EXPECT_FALSE(parseUrl("zephcomm:x"));
    EXPECT_FALSE(parseUrl(""));
}

TEST(UrlTest, LengthLimits)
{
    EXPECT_TRUE(parseUrl("zephcomm:||" + std::string(kMaxAddressLength, 'a')));
    EXPECT_FALSE(parseUrl("zephcomm:||" + std::string(kMaxAddressLength + 1, 'a')));
    EXPECT_FALSE(parseUrl(std::string(kMaxUrlLength + 1, 'a')));
}

TEST(DriverOptionsTest, EmptyStringIsValidAndAppliesNothing)
{
    auto parsed = parseDriverOptions("");
    EXPECT_TRUE(parsed.ok);
    EXPECT_TRUE(parsed.options.empty());
}

TEST(DriverOptionsTest, PairsAreParsedIntoAMap)
{
    auto parsed = parseDriverOptions("TCP_NODELAY=1,TCP_SEND_BUFFER_SIZE=70000");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.options.at("TCP_NODELAY"), "1");
    EXPECT_EQ(parsed.options.at("TCP_SEND_BUFFER_SIZE"), "70000");
}

TEST(DriverOptionsTest, DuplicatedNameFails)
{
    auto parsed = parseDriverOptions("TCP_NODELAY=1,TCP_NODELAY=0");
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error, kOptionsDuplicateError);
}

TEST(DriverOptionsTest, PairsWithoutNameOrValueAreUnparsable)
{
    for (const char* text : { "TCP_NODELAY", "=1", "TCP_NODELAY=", "A=1,B" }) {
        auto parsed = parseDriverOptions(text);
        EXPECT_FALSE(parsed.ok) << text;
        EXPECT_TRUE(parsed.error.starts_with(kOptionsParseError)) << text;
    }
}

// Each test runs in a process of its own, so the process-wide loader starts empty.
TEST(DriverLoaderTest, UnsetParameterLeavesTheLibraryWithoutDriver)
{
    DriverLoader& loader = DriverLoader::instance();
    loader.setParameterLookup([](const std::string&) { return std::nullopt; });
    EXPECT_EQ(init(1, nullptr, "$NO_SUCH_PARAMETER", nullptr), -1);
    EXPECT_EQ(loader.driver(), nullptr);
    auto info = kav::takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->getCode(), kav::rc::ZEPHCOMM_DRIVER_INIT_FAIL);
}

TEST(DriverLoaderTest, OptionsComeFromAParameterAndAreKept)
{
    DriverLoader& loader = DriverLoader::instance();
    loader.setParameterLookup([](const std::string& name) -> std::optional<std::string> {
        if (name == "OPTS")
            return "TCP_NODELAY=0";
        return std::nullopt;
    });
    ASSERT_EQ(init(1, nullptr, nullptr, "$OPTS"), 0);
    EXPECT_NE(loader.driver(), nullptr);
    EXPECT_EQ(loader.options().at("TCP_NODELAY"), "0");
    EXPECT_EQ(init(1, nullptr, nullptr, nullptr), 0); // already loaded
    fini();
    EXPECT_EQ(loader.driver(), nullptr);
}

TEST(DriverLoaderTest, BadOptionsOrUnknownDriverFail)
{
    EXPECT_EQ(init(1, nullptr, nullptr, "TCP_NODELAY=1,TCP_NODELAY=0"), -1);
    EXPECT_EQ(init(1, "NOSUCHDRIVER", nullptr, nullptr), -1);
    EXPECT_EQ(DriverLoader::instance().driver(), nullptr);
}

} // namespace
} // namespace zephcomm
