// The security library with the sec_passwd plug-in: logon results, tokens,
// reloading of the password file; per-thread user names are checked
// through the security server that wraps this library.

#include "platform/wardn/wardn.h"
#include "platform/wardn/PasswordFile.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

namespace {

const std::string kPlugin = std::string(RS_TEST_PLUGIN_DIR) + "/sec_passwd.so";

struct Answer {
    int result = 0;
    std::string token;
};

class WardnTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        passwd = dir.file("passwd");
        rs::test::writeFile(passwd, "# test accounts\nalice:" + wardn::hashPassword("wonderland") + "\n");
        ASSERT_EQ(sec_initialize(kPlugin.c_str(), passwd.c_str()), SEC_OK);
        ASSERT_EQ(sec_server_initialize(&context, 0), SEC_OK);
    }
    void TearDown() override
    {
        if (context)
            sec_server_finalize(context);
        sec_finalize();
    }

    Answer logon(const std::string& credential)
    {
        void* output = nullptr;
        size_t length = 0;
        Answer answer;
        answer.result = sec_server_start(context, credential.data(), credential.size(), &output, &length);
        if (output)
            answer.token.assign(static_cast<const char*>(output), length);
        sec_free(output);
        return answer;
    }

    std::string remoteUser()
    {
        const char* name = nullptr;
        return sec_remote_username(context, &name) == SEC_OK ? name : "<none>";
    }

    rs::test::ScratchDir dir;
    std::string passwd;
    void* context = nullptr;
};

TEST_F(WardnTest, RightPasswordGivesARandomHexToken)
{
    const Answer first = logon("alice:wonderland");
    ASSERT_EQ(first.result, SEC_DONE);
    EXPECT_EQ(remoteUser(), "alice");
    ASSERT_GE(first.token.size(), 32u);
    EXPECT_EQ(first.token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(logon("alice:wonderland").token, first.token);
}

// A refusal forgets the earlier user; malformed credentials get their own answer.
TEST_F(WardnTest, WrongAndMalformedCredentialsAreRefused)
{
    const std::pair<std::string, int> cases[] = {
        { "alice:wonder", SEC_DENIED },
        { "mallory:wonderland", SEC_DENIED },
        { "alice:", SEC_DENIED },
        { "alice", SEC_MALFORMED },
        { ":wonderland", SEC_MALFORMED },
        { std::string("alice:wonder\0land", 17), SEC_MALFORMED },
        { "al ice:wonderland", SEC_MALFORMED },
    };
    ASSERT_EQ(logon("alice:wonderland").result, SEC_DONE);
    for (const auto& [credential, result] : cases) {
        const Answer refused = logon(credential);
        EXPECT_EQ(refused.result, result) << credential;
        EXPECT_TRUE(refused.token.empty());
        EXPECT_EQ(remoteUser(), "<none>") << credential;
    }
}

TEST_F(WardnTest, PasswordFileIsReReadWhenItChanges)
{
    EXPECT_EQ(logon("bob:builder").result, SEC_DENIED);
    wardn::setPassword(passwd, "bob", "builder");
    EXPECT_EQ(logon("bob:builder").result, SEC_DONE);
    wardn::setPassword(passwd, "carol", "a:b:c"); // the name ends at the first colon
    EXPECT_EQ(logon("carol:a:b:c").result, SEC_DONE);
    wardn::setPassword(passwd, "alice", "looking-glass");
    EXPECT_EQ(logon("alice:wonderland").result, SEC_DENIED);
    EXPECT_EQ(logon("alice:looking-glass").result, SEC_DONE);
    ::unlink(passwd.c_str());
    EXPECT_EQ(logon("bob:builder").result, SEC_DENIED); // no file, no accounts
}

} // namespace
