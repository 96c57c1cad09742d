#include "rs/core/HostNameMatch.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

// Resolves from a fixed table and remembers what it was asked.
class TableResolver {
public:
    explicit TableResolver(std::map<std::string, uint32_t> table) : table_(std::move(table)) {}
    rs::HostResolver resolver()
    {
        return [this](const std::string& name) -> std::optional<uint32_t> {
            asked_.push_back(name);
            auto it = table_.find(name);
            if (it == table_.end())
                return std::nullopt;
            return it->second;
        };
    }
    const std::vector<std::string>& asked() const { return asked_; }

private:
    std::map<std::string, uint32_t> table_;
    std::vector<std::string> asked_;
};

TEST(CompareHostName, ShortNameMatchesItsQualifiedFormInAnyCase)
{
    TableResolver table({});
    EXPECT_TRUE(rs::compareHostName("alpha", "ALPHA.example.com", table.resolver()));
    EXPECT_TRUE(rs::compareHostName("Alpha.Example.com", "alpha", table.resolver()));
    EXPECT_TRUE(rs::compareHostName("alpha.example.com", "ALPHA.EXAMPLE.COM", table.resolver()));
    EXPECT_TRUE(table.asked().empty());
}

TEST(CompareHostName, PrefixOfALongerNameDoesNotMatch)
{
    TableResolver table({});
    EXPECT_FALSE(rs::compareHostName("alpha", "alphabet", table.resolver()));
    EXPECT_FALSE(rs::compareHostName("alphabet.example.com", "alpha", table.resolver()));
}

TEST(CompareHostName, DifferentLetterNamesAreRefusedWithoutLookUp)
{
    TableResolver table({{"alpha", 1}, {"beta", 1}});
    EXPECT_FALSE(rs::compareHostName("alpha", "beta", table.resolver()));
    EXPECT_TRUE(table.asked().empty());
}

TEST(CompareHostName, EmptyNamesNeverMatch)
{
    TableResolver table({{"", 1}});
    EXPECT_FALSE(rs::compareHostName("", "", table.resolver()));
    EXPECT_FALSE(rs::compareHostName("alpha", "", table.resolver()));
    EXPECT_FALSE(rs::compareHostName("", "alpha", table.resolver()));
}

TEST(CompareHostName, AddressesDecideForNamesThatDoNotCompareTextually)
{
    TableResolver table({{"10.0.0.7", 0x0A000007}, {"node7.example.com", 0x0A000007}, {"node8.example.com", 0x0A000008}});
    EXPECT_TRUE(rs::compareHostName("10.0.0.7", "node7.example.com", table.resolver()));
    EXPECT_FALSE(rs::compareHostName("10.0.0.7", "node8.example.com", table.resolver()));
    EXPECT_EQ(table.asked().size(), 4u);
}

TEST(CompareHostName, TwoUnresolvableNamesDoNotMatch)
{
    TableResolver table({});
    EXPECT_FALSE(rs::compareHostName("10.9.9.9", "no-such-host.invalid", table.resolver()));
    EXPECT_FALSE(rs::compareHostName("1node", "2node", table.resolver()));
}

TEST(CompareHostName, SystemResolverKnowsLoopback)
{
    auto resolve = rs::systemHostResolver();
    ASSERT_TRUE(resolve("127.0.0.1").has_value());
    EXPECT_EQ(*resolve("127.0.0.1"), 0x7F000001u);
    EXPECT_TRUE(rs::compareHostName("127.0.0.1", "localhost", resolve) || !resolve("localhost"));
}

} // namespace
