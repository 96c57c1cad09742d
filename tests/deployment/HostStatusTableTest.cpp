#include "rs/deployment/status/HostStatusTable.h"

#include "deployment/FakeHostStatusSink.h"
#include "deployment/TestResources.h"

#include "common/ResultCodes.h"

#include <gtest/gtest.h>

namespace rs {
namespace {

using test::FakeHostStatusSink;

class HostStatusTableTest : public ::testing::Test {
protected:
    HostStatusTableTest()
        : table(sink, [this] { return clock; })
    {
    }

    // Registers the host as a run does and hands it a resource: ALLOCATED.
    void allocate(const std::string& host, bool uninstall = false)
    {
        table.createHMElement("pkg", host, "alice", {}, uninstall);
        table.createHMElement("pkg", host, "alice", test::makeResource(host), uninstall);
    }

    // A deploy command's report, as setPackageStatus makes it.
    int report(const std::string& host, uint32_t state)
    {
        return table.reportHMStatus("pkg", host, "alice", state, nullptr);
    }

    uint32_t stateOf(const std::string& host)
    {
        auto list = table.getHMStatus("pkg", HostStatusTable::kFilterAll);
        for (const auto& e : list->entries)
            if (e.hostName == host)
                return e.state;
        ADD_FAILURE() << "no entry for " << host;
        return HOST_STATE_NONE;
    }

    std::string errorOf(const std::string& host)
    {
        auto list = table.getHMStatus("pkg", HostStatusTable::kFilterAll);
        for (const auto& e : list->entries)
            if (e.hostName == host)
                return e.message;
        return "<none>";
    }

    std::vector<std::string> hostsFor(uint32_t filter)
    {
        std::vector<std::string> hosts;
        auto list = table.getHMStatus("pkg", filter);
        for (const auto& e : list->entries)
            hosts.push_back(e.hostName);
        return hosts;
    }

    FakeHostStatusSink sink;
    int32_t clock = 1000;
    HostStatusTable table;
};

TEST_F(HostStatusTableTest, NewHostStartsAllocatingAndResourceMakesItAllocated)
{
    EXPECT_FALSE(table.createHMElement("pkg", "h1", "alice", {}, false));
    EXPECT_EQ(stateOf("h1"), HOST_ALLOCATING);
    EXPECT_TRUE(table.createHMElement("pkg", "h1", "alice", test::makeResource("h1"), false));
    EXPECT_EQ(stateOf("h1"), HOST_ALLOCATED);
    ASSERT_EQ(sink.persisted.size(), 2u);
    EXPECT_EQ(sink.persisted[0].entry.state, HOST_ALLOCATING);
    EXPECT_EQ(sink.persisted[0].entry.stamp, 1000);
}

TEST_F(HostStatusTableTest, FiltersSelectTheirStatesInHostNameOrder)
{
    const std::vector<std::pair<std::string, uint32_t>> hosts = {
        { "h9", HOST_ALLOCATED },
        { "h1", HOST_DOWNLOADING },
        { "h5", HOST_RUNNING },
        { "h3", HOST_INSTALLED },
        { "h7", HOST_UNINSTALLED },
        { "h2", HOST_ERROR },
    };
    for (const auto& [host, state] : hosts) {
        allocate(host, state == HOST_UNINSTALLED);
        if (state != HOST_ALLOCATED)
            report(host, state);
    }
    table.createHMElement("pkg", "h0", "alice", {}, false); // ALLOCATING

    EXPECT_EQ(hostsFor(0), (std::vector<std::string> { "h0", "h1", "h2", "h3", "h5", "h7", "h9" }));
    EXPECT_EQ(hostsFor(2), (std::vector<std::string> { "h0", "h9" }));
    EXPECT_EQ(hostsFor(5), (std::vector<std::string> { "h1", "h5" }));
    EXPECT_EQ(hostsFor(7), (std::vector<std::string> { "h3", "h7" }));
    EXPECT_EQ(hostsFor(HOST_ERROR), (std::vector<std::string> { "h2" }));
    EXPECT_TRUE(hostsFor(HOST_WAITING).empty());
}

TEST_F(HostStatusTableTest, UnknownPackageHasNoStatusList)
{
    EXPECT_EQ(table.getHMStatus("never", 0), nullptr);
    EXPECT_EQ(
        table.updateHMStatus("never", "h1", "", HOST_RUNNING, nullptr, false), HostStatusTable::kNoEntry);
    allocate("h1");
    EXPECT_EQ(
        table.updateHMStatus("pkg", "other", "", HOST_RUNNING, nullptr, false), HostStatusTable::kNoEntry);
}

TEST_F(HostStatusTableTest, CancelledIsFinalWhateverIsReported)
{
    allocate("h1");
    table.setCancelStatus("pkg");
    ASSERT_EQ(stateOf("h1"), HOST_CANCELLED);
    for (uint32_t state : { HOST_DOWNLOADING, HOST_INSTALLED, HOST_ERROR, HOST_UNINSTALLED }) {
        EXPECT_EQ(
            table.updateHMStatus("pkg", "h1", "bob", state, nullptr, false), HostStatusTable::kStateFinal);
        EXPECT_EQ(
            table.updateHMStatus("pkg", "h1", "bob", state, nullptr, true), HostStatusTable::kStateFinal);
    }
    EXPECT_EQ(stateOf("h1"), HOST_CANCELLED);
}

TEST_F(HostStatusTableTest, InstalledIsFinalOnlyWithinAnInstallRun)
{
    allocate("h1");
    report("h1", HOST_INSTALLED);
    EXPECT_EQ(table.updateHMStatus("pkg", "h1", "", HOST_DOWNLOADING, nullptr, false),
        HostStatusTable::kStateFinal);
    EXPECT_EQ(stateOf("h1"), HOST_INSTALLED);
    EXPECT_EQ(table.updateHMStatus("pkg", "h1", "", HOST_RUNNING, nullptr, true), HostStatusTable::kUpdated);
    EXPECT_EQ(stateOf("h1"), HOST_RUNNING);
}

// Reports do not tell the run's kind: they keep the entry's.
TEST_F(HostStatusTableTest, UninstalledIsFinalWithinAnUninstallRun)
{
    allocate("h1", true);
    EXPECT_EQ(report("h1", HOST_UNINSTALLED), HostStatusTable::kUpdated);
    EXPECT_EQ(report("h1", HOST_RUNNING), HostStatusTable::kStateFinal);
    EXPECT_EQ(
        table.updateHMStatus("pkg", "h1", "", HOST_RUNNING, nullptr, true), HostStatusTable::kStateFinal);
    EXPECT_EQ(stateOf("h1"), HOST_UNINSTALLED);
    EXPECT_EQ(report("h2", HOST_RUNNING), HostStatusTable::kNoEntry);
}

TEST_F(HostStatusTableTest, UpdateStampsSetsErrorTextAndKeepsUserWhenNoneGiven)
{
    allocate("h1");
    clock = 1234;
    kav::KavErrorInfo failure(kav::rc::RS_DEPLOY_COMMAND_LOST, "x.cpp:1", "", "", { "5" });
    ASSERT_EQ(table.updateHMStatus("pkg", "h1", "", HOST_ERROR, &failure, true), HostStatusTable::kUpdated);
    EXPECT_EQ(errorOf("h1"), FakeHostStatusSink::format(failure));
    const HostStatusEntry& persisted = sink.persisted.back().entry;
    EXPECT_EQ(persisted.stamp, 1234);
    EXPECT_EQ(persisted.userName, "alice");
    EXPECT_FALSE(persisted.uninstall) << "an empty user keeps the run's kind";
}

TEST_F(HostStatusTableTest, FinalStatesAreAuditedByRunKindAndOutcome)
{
    allocate("a");
    allocate("b");
    allocate("c", true);
    allocate("d", true);
    report("a", HOST_DOWNLOADING);
    EXPECT_TRUE(sink.audits.empty()) << "only states above RUNNING are audited";
    report("a", HOST_INSTALLED);
    report("b", HOST_ERROR);
    report("c", HOST_UNINSTALLED);
    report("d", HOST_ERROR);
    ASSERT_EQ(sink.audits.size(), 4u);
    EXPECT_EQ(sink.audits[0].messageNumber, kAuditInstallDone);
    EXPECT_FALSE(sink.audits[0].errorLevel);
    EXPECT_EQ(sink.audits[1].messageNumber, kAuditInstallFailed);
    EXPECT_TRUE(sink.audits[1].errorLevel);
    EXPECT_EQ(sink.audits[2].messageNumber, kAuditUninstallDone);
    EXPECT_EQ(sink.audits[3].messageNumber, kAuditUninstallFailed);
    EXPECT_EQ(sink.audits[3].host, "d");
    EXPECT_EQ(sink.audits[3].state, HOST_ERROR);
}

TEST_F(HostStatusTableTest, ErrorIsKeptWithItsTextWhenRegisteredAgainWithoutResource)
{
    allocate("h1");
    kav::KavErrorInfo failure(kav::rc::RS_NO_PACKAGE_FOR_TYPE, "x.cpp:1", "", "", { "pkg", "h1", "arm" });
    table.updateHMStatus("pkg", "h1", "", HOST_ERROR, &failure, false);

    EXPECT_FALSE(table.createHMElement("pkg", "h1", "bob", {}, false));
    EXPECT_EQ(stateOf("h1"), HOST_ERROR);
    EXPECT_EQ(errorOf("h1"), FakeHostStatusSink::format(failure));

    table.resetCancelErrorStatus("pkg", "h1");
    EXPECT_EQ(stateOf("h1"), HOST_ALLOCATING);
    EXPECT_TRUE(table.createHMElement("pkg", "h1", "bob", test::makeResource("h1"), false));
    EXPECT_EQ(errorOf("h1"), "") << "a fresh entry starts without error text";
}

TEST_F(HostStatusTableTest, ResetsOnlyTouchTheirStatesAndDropTheResource)
{
    allocate("h1");
    allocate("h2");
    report("h2", HOST_INSTALLED);
    table.resetCancelErrorStatus("pkg", "h1"); // ALLOCATED: untouched
    table.resetStatus("pkg", "h1", HOST_INSTALLED);
    EXPECT_EQ(stateOf("h1"), HOST_ALLOCATED);
    EXPECT_TRUE(table.getVRMByStatus("pkg", HOST_ALLOCATED));

    table.resetStatus("pkg", "h2", HOST_INSTALLED);
    EXPECT_EQ(stateOf("h2"), HOST_ALLOCATING);
    EXPECT_FALSE(table.getVRMByStatus("pkg", HOST_ALLOCATING));
}

TEST_F(HostStatusTableTest, ResourceLookupTakesFirstHostByNameHoldingOne)
{
    allocate("h3");
    allocate("h2");
    table.createHMElement("pkg", "h1", "alice", {}, false);
    ResourceHandle first = table.getVRMByStatus("pkg", HOST_ALLOCATED);
    ASSERT_TRUE(first);
    EXPECT_EQ(test::resourceHost(first), "h2");
    EXPECT_TRUE(table.clearVRM("pkg", "h2"));
    EXPECT_EQ(test::resourceHost(table.getVRMByStatus("pkg", HOST_ALLOCATED)), "h3");
    EXPECT_FALSE(table.clearVRM("pkg", "nobody"));
    EXPECT_FALSE(table.getVRMByStatus("pkg", HOST_ALLOCATING)) << "h1 holds no resource";
}

TEST_F(HostStatusTableTest, CancelStopsEveryHostBelowRunning)
{
    table.createHMElement("pkg", "a", "alice", {}, false);
    allocate("b");
    allocate("c");
    allocate("d");
    allocate("e");
    report("c", HOST_DOWNLOADING);
    report("d", HOST_RUNNING);
    report("e", HOST_INSTALLED);
    sink.audits.clear();
    table.setCancelStatus("pkg");
    EXPECT_EQ(hostsFor(HOST_CANCELLED), (std::vector<std::string> { "a", "b", "c" }));
    EXPECT_EQ(stateOf("d"), HOST_RUNNING);
    EXPECT_EQ(stateOf("e"), HOST_INSTALLED);
    ASSERT_EQ(sink.audits.size(), 3u);
    EXPECT_EQ(sink.audits[0].messageNumber, kav::rc::messageNumber(kav::rc::RS_DEPLOY_CANCELLED));
    EXPECT_EQ(sink.persisted.back().entry.state, HOST_CANCELLED);
}

TEST_F(HostStatusTableTest, WaitingTimesOutOnlyAfterMoreThanTSeconds)
{
    const int32_t timeout = 30;
    allocate("h1");
    report("h1", HOST_WAITING); // stamp 1000
    clock = 1000 + timeout;
    table.setHostStateIfTimeout("pkg", "install run", timeout);
    EXPECT_EQ(stateOf("h1"), HOST_WAITING);

    clock = 1000 + timeout + 1;
    table.setHostStateIfTimeout("pkg", "install run", timeout);
    EXPECT_EQ(stateOf("h1"), HOST_ERROR);
    kav::KavErrorInfo expected(
        kav::rc::RS_DEPLOY_COMMAND_TIMEOUT, "", "", "", { "install run", "pkg", "h1", "30" });
    EXPECT_EQ(errorOf("h1"), FakeHostStatusSink::format(expected));
    ASSERT_FALSE(sink.audits.empty());
    EXPECT_TRUE(sink.audits.back().errorLevel);
    EXPECT_EQ(sink.persisted.back().entry.state, HOST_ERROR);
}

TEST_F(HostStatusTableTest, AllocatingTimesOutWithItsOwnCodeAndOtherStatesNever)
{
    table.createHMElement("pkg", "a", "alice", {}, false);
    allocate("b");
    allocate("c");
    report("c", HOST_DOWNLOADING);
    clock += 61;
    table.setHostStateIfTimeout("pkg", "uninstall run", 60);
    kav::KavErrorInfo expected(
        kav::rc::RS_ALLOCATION_TIMEOUT, "", "", "", { "uninstall run", "pkg", "a", "60" });
    EXPECT_EQ(errorOf("a"), FakeHostStatusSink::format(expected));
    EXPECT_EQ(stateOf("b"), HOST_ALLOCATED);
    EXPECT_EQ(stateOf("c"), HOST_DOWNLOADING);
}

TEST_F(HostStatusTableTest, AllHostsFinalDecidesWhenARunIsOver)
{
    EXPECT_TRUE(table.allHostsFinal("pkg"));
    allocate("h1");
    allocate("h2");
    report("h1", HOST_INSTALLED);
    EXPECT_FALSE(table.allHostsFinal("pkg"));
    report("h2", HOST_ERROR);
    EXPECT_TRUE(table.allHostsFinal("pkg"));
}

TEST_F(HostStatusTableTest, RestoreAndRemoval)
{
    HostStatusMap restored;
    restored["h1"].state = HOST_INSTALLED;
    restored["h1"].stamp = 77;
    table.restore("old", restored);
    EXPECT_EQ(table.getHMStatus("old", 7)->entries.size(), 1u);
    EXPECT_TRUE(table.removePackage("old"));
    EXPECT_FALSE(table.removePackage("old"));
    allocate("h1");
    table.removeHMAll();
    EXPECT_EQ(table.getHMStatus("pkg", 0), nullptr);
}

} // namespace
} // namespace rs
