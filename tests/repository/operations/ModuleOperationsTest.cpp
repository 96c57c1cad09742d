// The module operations of IRepository, run in-process: a connection logged
// on to consumer "/apps" sends requests, the fake context runs the queued
// work items, and the answers, the consumer's index and the audit records are
// read back.

#include "common/ResultCodes.h"
#include "interfaces/IRepository.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/operations/RepositoryServer.h"
#include "support/FakeServiceContext.h"
#include "support/ServerHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

namespace rs {
namespace {

namespace fs = std::filesystem;

constexpr int32_t code(uint32_t value)
{
    return static_cast<int32_t>(value);
}

class ModuleOperationsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.users = { { "admin:pw", "admin" }, { "guest:pw", "guest" } };
        fake.consumers = { "/apps" };
        fake.roles = { { "admin", "/apps", 2 } };
        logOn(admin, "admin:pw");
        logOn(guest, "guest:pw");
        fake.audited.clear();
    }

    using Harness = test::ServerHarness<RepositoryServer>;

    void logOn(Harness& connection, const std::string& credential, const std::string& consumer = "/apps")
    {
        connection.send<IRepository::logon_Call>(credential, consumer);
        fake.runQueued();
        auto answer = connection.answer<IRepositoryResp::logonResp_Call>();
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->error()->getCode(), 0);
    }

    struct Added {
        int32_t code = -1;
        std::string version;
    };
    Added add(const std::string& module, const std::string& data, int32_t flag, Harness* as = nullptr)
    {
        Harness& connection = as ? *as : admin;
        rpc::BlockPtr piece = rpc::makeBlock(data);
        connection.send<IRepository::addModule_Call>(module, module + ".bin", piece.get(), flag);
        fake.runQueued();
        auto answer = connection.answer<IRepositoryResp::addModuleResp_Call>();
        return answer ? Added { answer->error()->getCode(), *answer->version() } : Added {};
    }
    int32_t remove(const std::string& module, Harness* as = nullptr)
    {
        Harness& connection = as ? *as : admin;
        connection.send<IRepository::removeModule_Call>(module);
        fake.runQueued();
        auto answer = connection.answer<IRepositoryResp::removeModuleResp_Call>();
        return answer ? answer->error()->getCode() : -1;
    }
    int32_t link(
        const std::string& application, const std::string& module, bool linked, Harness* as = nullptr)
    {
        Harness& connection = as ? *as : admin;
        connection.send<IRepository::linkModuleApplication_Call>(application, module, int32_t { linked });
        fake.runQueued();
        auto answer = connection.answer<IRepositoryResp::linkModuleApplicationResp_Call>();
        return answer ? answer->error()->getCode() : -1;
    }
    // The answer's code and the records' "consumer:module" names.
    std::pair<int32_t, std::vector<std::string>> listed(Harness& connection)
    {
        connection.send<IRepository::getModuleList_Call>();
        fake.runQueued();
        auto answer = connection.answer<IRepositoryResp::getModuleListResp_Call>();
        if (!answer)
            return { -1, {} };
        std::vector<std::string> names;
        for (const RepositoryAppEntry& record : answer->applicationList()->entries())
            names.push_back(record.consumer + ":" + record.moduleName);
        return { answer->error()->getCode(), names };
    }
    // The answer's code and the file's contents.
    std::pair<int32_t, std::string> get(const std::string& module, const std::string& version)
    {
        admin.send<IRepository::getModule_Call>(module, version, std::string("/apps"));
        fake.runQueued();
        auto answer = admin.answer<IRepositoryResp::getModuleResp_Call>();
        if (!answer)
            return { -1, "" };
        return { answer->error()->getCode(), rpc::blockText(answer->moduleData()) };
    }
    // The consumer's index entry of the module.
    kav::ModuleIndexEntry entry(const std::string& module)
    {
        kav::ModuleIndexEntry found;
        EXPECT_EQ(kav::IndexFile(fake.path("apps")).getServiceEntryByName(module, found), 0) << module;
        return found;
    }

    test::FakeServiceContext fake;
    Harness admin { fake, IRepositoryResp::kInterfaceName };
    Harness guest { fake, IRepositoryResp::kInterfaceName };
};

TEST_F(ModuleOperationsTest, OnlyAFirstPieceComparesNamesIgnoringLetterCase)
{
    ASSERT_EQ(add("Calc", "v1", 1).version, "1");
    EXPECT_EQ(add("calc", "v1", 0).code, code(0xD0014C49));
    EXPECT_FALSE(fs::exists(fake.path("apps/calc")));
    EXPECT_EQ(add("calc", "v1", 1).code, 0);
    EXPECT_EQ(add("Calc", "v2", 1).version, "2");
}

TEST_F(ModuleOperationsTest, PiecesAnswerAVersionOnlyWithTheLastAndVersionsContinueAcrossRemoval)
{
    EXPECT_EQ(add("web", "a-", 0).version, "");
    EXPECT_EQ(add("web", "b-", 2).version, "");
    EXPECT_EQ(add("web", "c", 1).version, "1");
    EXPECT_EQ(get("web", "1"), std::make_pair(0, std::string("a-b-c")));
    ASSERT_EQ(link("shop", "web", true), 0);
    EXPECT_EQ(add("web", "d", 1).version, "2");
    EXPECT_EQ(entry("web").linkedApps, std::vector<std::string> { "shop" })
        << "a replacement keeps the links";
    EXPECT_EQ(get("web", "1").first, code(0xD0014C19)) << "only the current version is served";
    EXPECT_EQ(get("web", "2"), std::make_pair(0, std::string("d"))) << "not the replaced file's contents";

    ASSERT_EQ(link("shop", "web", false), 0);
    ASSERT_EQ(remove("web"), 0);
    EXPECT_TRUE(entry("web").deleted);
    EXPECT_FALSE(fs::exists(fake.path("apps/web")));
    ASSERT_EQ(link("shop", "web", false), 0) << "unlinking a module that is gone changes nothing";
    EXPECT_EQ(add("web", "e", 1).version, "3");
    EXPECT_EQ(get("web", "3"), std::make_pair(0, std::string("e"))) << "not the removed file's contents";
    EXPECT_FALSE(entry("web").deleted);
    EXPECT_TRUE(entry("web").linkedApps.empty()) << "a removed module's links are gone";
}

TEST_F(ModuleOperationsTest, LinksAreKeptOnceAndBlockRemoval)
{
    ASSERT_EQ(add("db", "x", 1).code, 0);
    ASSERT_EQ(add("db", "half", 0).code, 0);
    EXPECT_EQ(get("db", "1"), std::make_pair(0, std::string("x"))) << "not the upload in progress";
    ASSERT_EQ(link("shop", "db", true), 0);
    ASSERT_EQ(link("shop", "db", true), 0);
    EXPECT_EQ(entry("db").linkedApps, std::vector<std::string> { "shop" });
    EXPECT_EQ(remove("db"), code(0xD0014C1F));
    EXPECT_FALSE(entry("db").deleted);
    EXPECT_EQ(link("blog", "db", false), 0);
    EXPECT_EQ(entry("db").linkedApps, std::vector<std::string> { "shop" });
    EXPECT_EQ(link("shop", "nothing", true), code(0xD0014C20));

    ASSERT_EQ(link("shop", "db", false), 0);
    EXPECT_EQ(remove("db"), 0);
    EXPECT_EQ(remove("db"), code(0xD0014C1A));
    EXPECT_EQ(remove("never-there"), code(0xD0014C1A));
}

TEST_F(ModuleOperationsTest, AUserWithoutTheRoleIsRefusedAndNothingIsWritten)
{
    ASSERT_EQ(add("db", "x", 1).code, 0);
    const auto contents = [&] {
        std::ifstream in(fake.path("apps/.index"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = contents();
    const int32_t refused = code(0xD0014C26);
    EXPECT_EQ(add("intruder", "x", 0, &guest).code, refused);
    EXPECT_EQ(add("intruder", "x", 1, &guest).code, refused);
    EXPECT_EQ(remove("db", &guest), refused);
    EXPECT_EQ(link("shop", "db", true, &guest), refused);
    EXPECT_EQ(listed(guest).first, refused);
    EXPECT_FALSE(fs::exists(fake.path("apps/intruder")));
    EXPECT_EQ(contents(), before);
}

TEST_F(ModuleOperationsTest, ConsumerSlashListsEveryConsumerOnlyForARoleOnSlash)
{
    ASSERT_EQ(add("web", "x", 1).code, 0);
    fake.consumers.insert("/");
    fake.roles.push_back({ "admin", "/", 3 });
    Harness root { fake, IRepositoryResp::kInterfaceName };
    logOn(root, "admin:pw", "/");
    EXPECT_EQ(listed(root), std::make_pair(0, std::vector<std::string> { "/apps:web" }));
    ASSERT_EQ(add("db", "x", 1).code, 0);
    fs::create_directories(fake.path("deep/er"));
    std::ofstream(fake.path("deep/er/.index")) << "mod|1|mod.bin|0|admin|0|1|0\n";
    auto [code, names] = listed(root);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> { "/apps:db", "/apps:web", "/deep/er:mod" }))
        << "a listing follows every consumer's index, at any depth";
    Harness visitor { fake, IRepositoryResp::kInterfaceName };
    logOn(visitor, "guest:pw", "/");
    EXPECT_EQ(listed(visitor), std::make_pair(0, std::vector<std::string> {}));
}

TEST_F(ModuleOperationsTest, AListAnsweredAtOnceIsTheQueuedAnswerAndOvertakesNoEarlierRequest)
{
    ASSERT_EQ(add("web", "x", 1).code, 0);
    ASSERT_EQ(link("shop", "web", true), 0);
    for (Harness* connection : { &admin, &guest }) {
        fake.runsAtOnce = false;
        connection->send<IRepository::getModuleList_Call>();
        fake.runQueued();
        auto queued = connection->answer<IRepositoryResp::getModuleListResp_Call>();
        fake.runsAtOnce = true;
        connection->send<IRepository::getModuleList_Call>();
        EXPECT_TRUE(fake.queued.empty());
        auto atOnce = connection->answer<IRepositoryResp::getModuleListResp_Call>();
        ASSERT_TRUE(queued && atOnce);
        EXPECT_EQ(atOnce->error()->getCode(), queued->error()->getCode());
        EXPECT_EQ(*atOnce->applicationList(), *queued->applicationList());
    }
    admin.send<IRepository::getModule_Call>(std::string("web"), std::string("1"), std::string("/apps"));
    admin.send<IRepository::getModuleList_Call>();
    EXPECT_EQ(fake.queued.size(), 2u)
        << "a list behind an unfinished request of its connection waits its turn";
    EXPECT_EQ(admin.unread(), 0u);
    fake.runQueued();
    // Once queued, the list goes by its kind, before the download.
    EXPECT_TRUE(admin.answer<IRepositoryResp::getModuleListResp_Call>());
    EXPECT_TRUE(admin.answer<IRepositoryResp::getModuleResp_Call>());
}

// A download answered at once carries what the queued one carries, and a
// change to the module is never answered from before it.
TEST_F(ModuleOperationsTest, ADownloadAnsweredAtOnceIsTheQueuedAnswerAndNeverOneFromBeforeAChange)
{
    ASSERT_EQ(add("web", "one", 1).code, 0);
    ASSERT_EQ(add("old", "x", 1).code, 0);
    ASSERT_EQ(remove("old"), 0);
    const auto download = [&](const std::string& version, bool atOnce) {
        fake.runsAtOnce = atOnce;
        admin.send<IRepository::getModule_Call>(std::string("web"), version, std::string("/apps"));
        const bool queued = !fake.queued.empty();
        fake.runQueued();
        auto answer = admin.answer<IRepositoryResp::getModuleResp_Call>();
        EXPECT_TRUE(answer);
        return std::make_pair(queued, std::move(answer));
    };
    auto [wasQueued, queued] = download("1", false);
    auto [atOnceQueued, atOnce] = download("1", true);
    EXPECT_FALSE(atOnceQueued) << "a download whose file and records are in memory is answered at once";
    ASSERT_TRUE(queued && atOnce);
    EXPECT_EQ(atOnce->error()->getCode(), 0);
    EXPECT_EQ(*atOnce->packageName(), *queued->packageName());
    EXPECT_EQ(*atOnce->moduleFileName(), *queued->moduleFileName());
    EXPECT_EQ(rpc::blockText(atOnce->moduleData()), "one");
    EXPECT_EQ(*atOnce->applicationList(), *queued->applicationList());
    ASSERT_EQ(atOnce->applicationList()->entries().size(), 1u) << "the removed module is not present";
    EXPECT_EQ(atOnce->applicationList()->entries()[0].moduleName, "web");

    ASSERT_EQ(add("web", "two", 1).version, "2");
    const auto [oldQueued, old] = download("1", true);
    EXPECT_EQ(old->error()->getCode(), kav::rc::RS_WRONG_VERSION);
    for (int round = 0; round < 2; ++round) {
        const auto [newQueued, fresh] = download("2", true);
        EXPECT_EQ(newQueued, round == 0) << "only the replaced file's first download is read by a worker";
        EXPECT_EQ(rpc::blockText(fresh->moduleData()), "two");
    }
}

TEST_F(ModuleOperationsTest, WithoutAConsumerEveryCallStoresAWholeFileWithoutSizeOrLinks)
{
    Harness global { fake, IRepositoryResp::kInterfaceName };
    logOn(global, "guest:pw", "");
    for (const auto& [file, data, version] :
        { std::tuple { "s.bin", "first", "1" }, { "t.bin", "second", "2" } }) {
        rpc::BlockPtr piece = rpc::makeBlock(data);
        global.send<IRepository::addModule_Call>(std::string("shared"), std::string(file), piece.get(), 0);
        fake.runQueued();
        auto answer = global.answer<IRepositoryResp::addModuleResp_Call>();
        ASSERT_TRUE(answer);
        EXPECT_EQ(*answer->version(), version);
    }
    kav::ModuleIndexEntry stored;
    ASSERT_EQ(kav::IndexFile(fake.storageDir()).getServiceEntryByName("shared", stored), 0);
    EXPECT_EQ(stored.fileName, "t.bin");
    EXPECT_EQ(stored.fileSize, 0);
    EXPECT_TRUE(stored.linkedApps.empty());
    EXPECT_FALSE(fs::exists(fake.path("shared/s.bin")));
    EXPECT_TRUE(fake.audited.empty()) << "uploads without a consumer are not audited";
}

TEST_F(ModuleOperationsTest, CompletedUploadsRemovalsAndTheirFailuresAreAudited)
{
    ASSERT_EQ(add("web", "a", 0).code, 0);
    ASSERT_EQ(add("web", "b", 1).code, 0);
    EXPECT_EQ(add("Web", "c", 0).code, code(0xD0014C49));
    ASSERT_EQ(link("shop", "web", true), 0);
    EXPECT_EQ(remove("web"), code(0xD0014C1F));
    ASSERT_EQ(link("shop", "web", false), 0);
    ASSERT_EQ(remove("web"), 0);

    const struct {
        uint32_t message;
        const char* module;
    } expected[] = { { 0x14C22, "web" }, { 0x14C23, "Web" }, { 0x14C25, "web" }, { 0x14C24, "web" } };
    ASSERT_EQ(fake.audited.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(fake.audited[i].number, expected[i].message) << i;
        ASSERT_GE(fake.audited[i].params.size(), 2u);
        EXPECT_EQ(fake.audited[i].params[0], "admin");
        EXPECT_EQ(fake.audited[i].params[1], expected[i].module);
    }
}

} // namespace
} // namespace rs
