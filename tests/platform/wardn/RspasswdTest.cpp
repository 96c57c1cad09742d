// The rspasswd command's logic, driven through streams.

#include "platform/wardn/PasswordFile.h"
#include "support/ScratchDir.h"
#include "tools/rspasswd/PasswordCommand.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

class RspasswdTest : public ::testing::Test {
protected:
    int run(const std::string& user, const std::string& input, bool interactive)
    {
        std::istringstream in(input);
        err.str("");
        return rspasswd::setUserPassword(file, user, in, err, interactive, -1);
    }
    wardn::Accounts accounts() { return wardn::parseAccounts(rs::test::readFile(file)); }

    rs::test::ScratchDir dir;
    std::string file = dir.file("passwd");
    std::ostringstream err;
};

TEST_F(RspasswdTest, PromptAsksTwiceAndNeverEchoesThePassword)
{
    ASSERT_EQ(run("alice", "first\nfirst\n", true), 0) << err.str();
    EXPECT_NE(err.str().find("New password"), std::string::npos);
    EXPECT_EQ(err.str().find("first"), std::string::npos);
    EXPECT_TRUE(wardn::verifyPassword("first", accounts().at("alice")));

    EXPECT_EQ(run("alice", "second\nsecnod\n", true), 1);
    EXPECT_NE(err.str().find("do not match"), std::string::npos);
    EXPECT_TRUE(wardn::verifyPassword("first", accounts().at("alice"))); // unchanged
}

TEST_F(RspasswdTest, RefusesBadInput)
{
    ASSERT_EQ(run("rsservice", "a:b c\r\n", false), 0) << err.str();
    EXPECT_TRUE(wardn::verifyPassword("a:b c", accounts().at("rsservice")));
    EXPECT_EQ(run("bad:user", "x\n", false), 2);
    EXPECT_EQ(run("alice", "", false), 1);
    EXPECT_EQ(run("alice", "\n", false), 1);
    EXPECT_EQ(accounts().size(), 1u);
}

} // namespace
