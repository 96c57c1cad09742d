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

// The library's answers become the service's codes; a refusal changes nothing.
TEST_F(KavSecurityServerTest, RefusedCredentialsGiveTheirCodes)
{
    const std::pair<const char*, int32_t> cases[] = {
        { "alice:wonder", kav::rc::SEC_AUTH_FAILED },
        { "nobody:wonderland", kav::rc::SEC_AUTH_FAILED },
        { "no-colon", kav::rc::SEC_AUTH_ERROR },
        { "", kav::rc::SEC_AUTH_ERROR },
    };
    for (const auto& [credential, code] : cases) {
        std::string user = "unchanged";
        kav::KavData token;
        EXPECT_EQ(authenticate(credential, user, token), code) << credential;
        EXPECT_EQ(user, "unchanged");
        EXPECT_TRUE(token.empty());
    }
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

TEST(KavSecurityServerInit, EachFailureHasItsCode)
{
    const std::pair<std::map<std::string, std::string>, int32_t> cases[] = {
        { {}, kav::rc::SEC_NO_PLUGIN },
        { { { "QEL_SEC_PLUGIN", "/no/such/sec_plugin" } }, kav::rc::SEC_INIT_FAILED },
        // The plug-in refuses to start without a password file.
        { { { "QEL_SEC_PLUGIN", kPluginBase } }, kav::rc::SEC_INIT_FAILED },
    };
    for (const auto& [params, code] : cases) {
        kav::KavSecurityServer server(paramsOf(params));
        EXPECT_EQ(thrownCode([&] { server.initialize(); }), code);
    }
}

} // namespace
