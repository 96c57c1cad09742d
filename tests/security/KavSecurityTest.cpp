// KavSecurityServer over the security library and the sec_passwd plug-in.

#include "common/ResultCodes.h"
#include "platform/wardn/PasswordFile.h"
#include "rs/security/KavSecurityServer.h"
#include "security/KavErrorCode.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <latch>
#include <map>
#include <thread>

namespace {

using testutil::thrownCode;

// The plug-in's base name: KavSecurity appends the library suffix itself.
const std::string kPluginBase = std::string(RS_TEST_PLUGIN_DIR) + "/sec_passwd";

kav::ConfParamReader paramsOf(std::map<std::string, std::string> values)
{
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        const auto it = values.find(name);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    };
}

class KavSecurityServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        rs::test::writeFile(passwd, "alice:" + wardn::hashPassword("wonderland") + "\n");
        ASSERT_EQ(thrownCode([&] { server.initialize(); }), 0);
    }
    void TearDown() override { server.finalize(); }

    int32_t authenticate(const std::string& credential, std::string& user, kav::KavData& token)
    {
        return thrownCode([&] { server.authenticate(kav::KavData(credential), token, user); });
    }

    rs::test::ScratchDir dir;
    std::string passwd = dir.file("passwd");
    kav::KavSecurityServer server { paramsOf(
        { { "QEL_SEC_PLUGIN", kPluginBase }, { "QEL_SEC_CONF", passwd } }) };
};

TEST_F(KavSecurityServerTest, RightPasswordGivesUserAndToken)
{
    std::string user;
    kav::KavData token;
    ASSERT_EQ(authenticate("alice:wonderland", user, token), 0);
    EXPECT_EQ(user, "alice");
    EXPECT_GE(token.length(), 32u);
    std::string again;
    server.getRemoteUserName(again);
    EXPECT_EQ(again, "alice");
}

TEST_F(KavSecurityServerTest, WrongPasswordIsRefused)
{
    std::string user = "unchanged";
    kav::KavData token;
    EXPECT_EQ(authenticate("alice:wonder", user, token), kav::rc::SEC_AUTH_FAILED);
    EXPECT_EQ(authenticate("nobody:wonderland", user, token), kav::rc::SEC_AUTH_FAILED);
    EXPECT_EQ(user, "unchanged");
    EXPECT_TRUE(token.empty());
}

TEST_F(KavSecurityServerTest, MalformedCredentialIsAnIncompleteHandshake)
{
    std::string user;
    kav::KavData token;
    EXPECT_EQ(authenticate("no-colon", user, token), kav::rc::SEC_AUTH_ERROR);
    EXPECT_EQ(authenticate("", user, token), kav::rc::SEC_AUTH_ERROR);
}

TEST_F(KavSecurityServerTest, ConcurrentLogonsEachGetTheirOwnUser)
{
    constexpr int kThreads = 8;
    std::string text;
    for (int i = 0; i < kThreads; ++i)
        text += "user" + std::to_string(i) + ":" + wardn::hashPassword("pw" + std::to_string(i)) + "\n";
    rs::test::writeFile(passwd, text);

    // All threads authenticate at once; then, once every logon is done, each
    // asks again for its user: a name shared between threads would show.
    std::latch start(kThreads), allDone(kThreads);
    std::vector<std::string> seen(kThreads), seenLater(kThreads);
    std::vector<int32_t> codes(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            const kav::KavData credential("user" + std::to_string(i) + ":pw" + std::to_string(i));
            start.arrive_and_wait();
            kav::KavData token;
            codes[i] = thrownCode([&] { server.authenticate(credential, token, seen[i]); });
            allDone.arrive_and_wait();
            thrownCode([&] { server.getRemoteUserName(seenLater[i]); });
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(codes[i], 0) << i;
        EXPECT_EQ(seen[i], "user" + std::to_string(i));
        EXPECT_EQ(seenLater[i], "user" + std::to_string(i));
    }
}

TEST(KavSecurityServerInit, NoPluginConfigured)
{
    kav::KavSecurityServer emptyName(paramsOf({ { "QEL_SEC_PLUGIN", "" }, { "QEL_SEC_CONF", "/x" } }));
    EXPECT_EQ(thrownCode([&] { emptyName.initialize(); }), kav::rc::SEC_NO_PLUGIN);
    kav::KavSecurityServer unset(paramsOf({}));
    EXPECT_EQ(thrownCode([&] { unset.initialize(); }), kav::rc::SEC_NO_PLUGIN);
}

TEST(KavSecurityServerInit, PluginThatCannotBeLoaded)
{
    kav::KavSecurityServer missing(paramsOf({ { "QEL_SEC_PLUGIN", "/no/such/sec_plugin" } }));
    EXPECT_EQ(thrownCode([&] { missing.initialize(); }), kav::rc::SEC_INIT_FAILED);
    // The plug-in refuses to start without a password file.
    kav::KavSecurityServer noConf(paramsOf({ { "QEL_SEC_PLUGIN", kPluginBase } }));
    EXPECT_EQ(thrownCode([&] { noConf.initialize(); }), kav::rc::SEC_INIT_FAILED);
    // Nothing stays loaded: a good configuration still initialises.
    rs::test::ScratchDir dir;
    kav::KavSecurityServer good(
        paramsOf({ { "QEL_SEC_PLUGIN", kPluginBase }, { "QEL_SEC_CONF", dir.file("p") } }));
    EXPECT_EQ(thrownCode([&] { good.initialize(); }), 0);
    EXPECT_EQ(thrownCode([&] { good.finalize(); }), 0);
}

TEST(KavData, CopiesAndReplacesBytes)
{
    const std::string secret("a:b\0c", 5);
    kav::KavData data(secret);
    kav::KavData copy(data);
    data.assign("xy", 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.data()), copy.length()), secret);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()), data.length()), "xy");
    data.assign(nullptr, 4);
    EXPECT_TRUE(data.empty());
}

} // namespace
