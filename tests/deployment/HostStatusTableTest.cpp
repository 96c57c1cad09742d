#include "rs/deployment/status/HostStatusTable.h"

#include "deployment/FakeHostStatusSink.h"

#include "common/ResultCodes.h"

#include <gtest/gtest.h>

namespace rs {
namespace {

using test::FakeHostStatusSink;

// What moves a host from one deployment state to another, and what leaves
// it where it is: each row starts a fresh table with one host brought to
// `from` by the run kind given, applies one trigger, and checks the state.
enum class Trigger {
    Register,
    Resource,
    Report,
    Cancel,
    TimeoutAtLimit,
    TimeoutPastLimit,
    ResetErrorOrCancel,
    Reset
};

struct Transition {
    uint32_t from; // HOST_STATE_NONE: no entry yet
    bool uninstallRun;
    Trigger trigger;
    uint32_t argument; // the state reported, or the one Reset expects
    uint32_t to;
};

constexpr uint32_t kNone = HOST_STATE_NONE;
constexpr int32_t kTimeout = 60;

// clang-format off
const Transition kTransitions[] = {
    { kNone,            false, Trigger::Register,           0,                HOST_ALLOCATING },
    { HOST_ALLOCATING,  false, Trigger::Resource,           0,                HOST_ALLOCATED },
    { HOST_ALLOCATED,   false, Trigger::Report,             HOST_WAITING,     HOST_WAITING },
    { HOST_WAITING,     false, Trigger::Report,             HOST_DOWNLOADING, HOST_DOWNLOADING },
    { HOST_DOWNLOADING, false, Trigger::Report,             HOST_RUNNING,     HOST_RUNNING },
    { HOST_RUNNING,     false, Trigger::Report,             HOST_INSTALLED,   HOST_INSTALLED },
    { HOST_RUNNING,     true,  Trigger::Report,             HOST_UNINSTALLED, HOST_UNINSTALLED },
    { HOST_RUNNING,     false, Trigger::Report,             HOST_ERROR,       HOST_ERROR },
    // Time-outs: strictly more than T seconds, and only while allocating or waiting.
    { HOST_WAITING,     false, Trigger::TimeoutAtLimit,     0,                HOST_WAITING },
    { HOST_WAITING,     false, Trigger::TimeoutPastLimit,   0,                HOST_ERROR },
    { HOST_ALLOCATING,  false, Trigger::TimeoutPastLimit,   0,                HOST_ERROR },
    { HOST_ALLOCATED,   false, Trigger::TimeoutPastLimit,   0,                HOST_ALLOCATED },
    { HOST_DOWNLOADING, false, Trigger::TimeoutPastLimit,   0,                HOST_DOWNLOADING },
    // Cancel stops what has not started running.
    { HOST_ALLOCATING,  false, Trigger::Cancel,             0,                HOST_CANCELLED },
    { HOST_ALLOCATED,   false, Trigger::Cancel,             0,                HOST_CANCELLED },
    { HOST_WAITING,     false, Trigger::Cancel,             0,                HOST_CANCELLED },
    { HOST_DOWNLOADING, false, Trigger::Cancel,             0,                HOST_CANCELLED },
    { HOST_RUNNING,     false, Trigger::Cancel,             0,                HOST_RUNNING },
    { HOST_INSTALLED,   false, Trigger::Cancel,             0,                HOST_INSTALLED },
    // Final states: CANCELLED always, INSTALLED in an install run, UNINSTALLED in an uninstall run.
    { HOST_CANCELLED,   false, Trigger::Report,             HOST_INSTALLED,   HOST_CANCELLED },
    { HOST_CANCELLED,   true,  Trigger::Report,             HOST_ERROR,       HOST_CANCELLED },
    { HOST_INSTALLED,   false, Trigger::Report,             HOST_DOWNLOADING, HOST_INSTALLED },
    { HOST_INSTALLED,   true,  Trigger::Report,             HOST_RUNNING,     HOST_RUNNING },
    { HOST_UNINSTALLED, true,  Trigger::Report,             HOST_RUNNING,     HOST_UNINSTALLED },
    { HOST_UNINSTALLED, false, Trigger::Report,             HOST_RUNNING,     HOST_RUNNING },
    // A new run registers its hosts again.
    { HOST_ERROR,       false, Trigger::Register,           0,                HOST_ERROR },
    { HOST_ERROR,       false, Trigger::ResetErrorOrCancel, 0,                HOST_ALLOCATING },
    { HOST_CANCELLED,   false, Trigger::ResetErrorOrCancel, 0,                HOST_ALLOCATING },
    { HOST_ALLOCATED,   false, Trigger::ResetErrorOrCancel, 0,                HOST_ALLOCATED },
    { HOST_INSTALLED,   true,  Trigger::Reset,              HOST_INSTALLED,   HOST_ALLOCATING },
    { HOST_UNINSTALLED, false, Trigger::Reset,              HOST_UNINSTALLED, HOST_ALLOCATING },
    { HOST_ALLOCATED,   true,  Trigger::Reset,              HOST_INSTALLED,   HOST_ALLOCATED },
};
// clang-format on

TEST(HostStatusTransitions, EveryRowOfTheStateTable)
{
    for (const Transition& row : kTransitions) {
        SCOPED_TRACE(::testing::Message()
            << "from " << row.from << " trigger " << static_cast<int>(row.trigger) << " (" << row.argument
            << ")" << (row.uninstallRun ? " uninstall" : ""));
        FakeHostStatusSink sink;
        int32_t clock = 1000;
        HostStatusTable table(sink, [&] { return clock; });
        const bool uninstall = row.uninstallRun;
        if (row.from != kNone) {
            table.createHMElement("pkg", "h", "alice", {}, uninstall);
            if (row.from != HOST_ALLOCATING)
                table.createHMElement("pkg", "h", "alice", test::makeResource("h"), uninstall);
            if (row.from == HOST_CANCELLED)
                table.setCancelStatus("pkg");
            else if (row.from > HOST_ALLOCATED)
                table.updateHMStatus("pkg", "h", "alice", row.from, nullptr, row.from == HOST_UNINSTALLED);
        }
        const uint32_t before = row.from == kNone ? kNone : table.getHMStatus("pkg", 0)->entries.at(0).state;
        ASSERT_EQ(before, row.from);
        switch (row.trigger) {
        case Trigger::Register:
            table.createHMElement("pkg", "h", "bob", {}, uninstall);
            break;
        case Trigger::Resource:
            table.createHMElement("pkg", "h", "bob", test::makeResource("h"), uninstall);
            break;
        case Trigger::Report: {
            const int rc = table.updateHMStatus("pkg", "h", "bob", row.argument, nullptr, uninstall);
            EXPECT_EQ(rc, row.to == row.argument ? HostStatusTable::kUpdated : HostStatusTable::kStateFinal);
            break;
        }
        case Trigger::Cancel:
            table.setCancelStatus("pkg");
            break;
        case Trigger::TimeoutAtLimit:
        case Trigger::TimeoutPastLimit:
            clock += kTimeout + (row.trigger == Trigger::TimeoutPastLimit ? 1 : 0);
            table.setHostStateIfTimeout("pkg", "install run", kTimeout);
            break;
        case Trigger::ResetErrorOrCancel:
            table.resetCancelErrorStatus("pkg", "h");
            break;
        case Trigger::Reset:
            table.resetStatus("pkg", "h", row.argument);
            break;
        }
        const auto list = table.getHMStatus("pkg", 0);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->entries.size(), 1u);
        EXPECT_EQ(list->entries[0].state, row.to);
        // A reset is followed by the run's registration, which persists.
        const bool reset = row.trigger == Trigger::ResetErrorOrCancel || row.trigger == Trigger::Reset;
        if (row.to != before && !reset) {
            ASSERT_FALSE(sink.persisted.empty());
            EXPECT_EQ(sink.persisted.back().entry.state, row.to) << "every change is persisted";
        }
    }
}

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

TEST_F(HostStatusTableTest, TimeOutsAndCancelCarryTheirCodesAndAreAudited)
{
    table.createHMElement("pkg", "a", "alice", {}, false);
    allocate("w");
    report("w", HOST_WAITING);
    sink.audits.clear();
    clock += 31;
    table.setHostStateIfTimeout("pkg", "uninstall run", 30);
    EXPECT_EQ(errorOf("a"),
        FakeHostStatusSink::format(kav::KavErrorInfo(
            kav::rc::RS_ALLOCATION_TIMEOUT, "", "", "", { "uninstall run", "pkg", "a", "30" })));
    EXPECT_EQ(errorOf("w"),
        FakeHostStatusSink::format(kav::KavErrorInfo(
            kav::rc::RS_DEPLOY_COMMAND_TIMEOUT, "", "", "", { "uninstall run", "pkg", "w", "30" })));
    ASSERT_EQ(sink.audits.size(), 2u);
    EXPECT_TRUE(sink.audits[0].errorLevel);

    allocate("c");
    sink.audits.clear();
    table.setCancelStatus("pkg");
    ASSERT_EQ(sink.audits.size(), 1u);
    EXPECT_EQ(sink.audits[0].messageNumber, kav::rc::messageNumber(kav::rc::RS_DEPLOY_CANCELLED));
    EXPECT_TRUE(sink.audits[0].errorLevel);
}

} // namespace
} // namespace rs
