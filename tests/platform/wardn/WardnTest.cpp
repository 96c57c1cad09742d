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

TEST_F(WardnTest, WrongPasswordAndUnknownUserAreDenied)
{
    ASSERT_EQ(logon("alice:wonderland").result, SEC_DONE);
    const Answer wrong = logon("alice:wonder");
    EXPECT_EQ(wrong.result, SEC_DENIED);
    EXPECT_TRUE(wrong.token.empty());
    EXPECT_EQ(remoteUser(), "<none>"); // a refusal forgets the earlier user
    EXPECT_EQ(logon("mallory:wonderland").result, SEC_DENIED);
    EXPECT_EQ(logon("alice:").result, SEC_DENIED);
}

TEST_F(WardnTest, MalformedCredentialsGetTheirOwnAnswer)
{
    EXPECT_EQ(logon("alice").result, SEC_MALFORMED);
    EXPECT_EQ(logon(":wonderland").result, SEC_MALFORMED);
    EXPECT_EQ(logon("").result, SEC_MALFORMED);
    EXPECT_EQ(logon(std::string("alice:wonder\0land", 17)).result, SEC_MALFORMED);
    EXPECT_EQ(logon("al ice:wonderland").result, SEC_MALFORMED);
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

TEST(WardnLibrary, LoadFailuresAndStateChecks)
{
    void* context = nullptr;
    EXPECT_EQ(sec_server_initialize(&context, 0), SEC_E_STATE);
    EXPECT_EQ(sec_initialize("/no/such/plugin.so", "x"), SEC_E_LOAD);
    const std::string notAPlugin = std::string(RS_TEST_LIB_DIR) + "/libwardn.so";
    EXPECT_EQ(sec_initialize(notAPlugin.c_str(), "x"), SEC_E_LOAD);
    EXPECT_EQ(sec_initialize(kPlugin.c_str(), ""), SEC_E_PLUGIN); // the plug-in needs its file
    ASSERT_EQ(sec_initialize(kPlugin.c_str(), "/nonexistent/passwd"), SEC_OK);
    EXPECT_EQ(sec_initialize(kPlugin.c_str(), "/nonexistent/passwd"), SEC_E_STATE);
    ASSERT_EQ(sec_server_initialize(&context, 0), SEC_OK);
    EXPECT_EQ(sec_finalize(), SEC_E_STATE); // a context is still open
    const char* name = nullptr;
    EXPECT_EQ(sec_remote_username(context, &name), SEC_E_NO_USER);
    EXPECT_EQ(sec_server_finalize(context), SEC_OK);
    EXPECT_EQ(sec_finalize(), SEC_OK);
}

} // namespace
