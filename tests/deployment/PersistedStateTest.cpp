#include "rs/deployment/persist/PersistedDeploymentState.h"
#include "rs/deployment/persist/PstIndexFile.h"
#include "rs/deployment/persist/ServiceStatusSink.h"

#include "deployment/FakeHostStatusSink.h"
#include "deployment/TestResources.h"
#include "support/ScratchDir.h"

#include "rs/deployment/status/HostStatusTable.h"
#include "rs/repository/dplfileutils.h"

#include "common/ResultCodes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>

namespace rs {
namespace {

using rsmanagerutils::readLinesFromFile;
using Lines = std::vector<std::string>;

std::string textOf(const kav::IKavErrorInfo& info)
{
    return test::FakeHostStatusSink::format(info);
}

// A persisted-state file in a directory of its own.
class PstIndexFileTest : public ::testing::Test {
protected:
    test::ScratchDir dir;
    PstIndexFile file { dir.path() };
};

TEST_F(PstIndexFileTest, HostGroupsAreWrittenInHostNameOrderWithEmptyTexts)
{
    file.addServiceEntry("pkg1", "h2", 600, HOST_ERROR, "xyz");
    file.addServiceEntry("pkg1", "h1", 500, HOST_INSTALLED, "");
    ASSERT_EQ(file.writeServiceFile(), 0);
    EXPECT_EQ(readLinesFromFile(file.path()), (Lines { "pkg1|2|h1|500|7||h2|600|9|xyz" }));
}

TEST_F(PstIndexFileTest, ReadBackGivesStateStampAndTextButNoResourceAndInstallRun)
{
    file.addServiceEntry("pkg", "h1", 500, HOST_UNINSTALLED, "");
    file.addServiceEntry("pkg", "h2", 600, HOST_ERROR, "disk full");
    file.addServiceEntry("other", "h3", 700, HOST_CANCELLED, "");
    ASSERT_EQ(file.writeServiceFile(), 0);
    PstIndexFile again(dir.path());
    std::map<std::string, HostStatusMap> table;
    again.getServiceEntryByName(table);
    ASSERT_EQ(table.size(), 2u);
    const HostStatusEntry& h2 = table["pkg"]["h2"];
    EXPECT_EQ(h2.state, HOST_ERROR);
    EXPECT_EQ(h2.stamp, 600);
    EXPECT_EQ(h2.errorText, "disk full");
    EXPECT_FALSE(h2.resource);
    EXPECT_FALSE(table["pkg"]["h1"].uninstall);
    EXPECT_EQ(table["other"]["h3"].state, HOST_CANCELLED);
}

TEST_F(PstIndexFileTest, ErrorTextCannotBreakTheLineFormat)
{
    file.addServiceEntry("pkg", "h1", 5, HOST_ERROR, "a|b\nc");
    ASSERT_EQ(file.writeServiceFile(), 0);
    PstIndexFile again(dir.path());
    HostStatusMap hosts;
    ASSERT_EQ(again.getServiceEntryByName("pkg", hosts), 0);
    EXPECT_EQ(hosts["h1"].errorText, "a b c");
    EXPECT_EQ(hosts["h1"].state, HOST_ERROR);
}

TEST(ServiceStatusSinkTest, AuditArgumentsNameEveryPartAndMarkMissingOnes)
{
    DeploymentAuditRecord record;
    record.package = "pkg";
    record.host = "h1";
    record.state = HOST_INSTALLED;
    EXPECT_EQ(ServiceStatusSink::auditParams(record), (kav::Params { "pkg", "h1", "INSTALLED", "-", "" }));
    record.state = 42;
    record.userName = "alice";
    record.errorText = "boom";
    EXPECT_EQ(ServiceStatusSink::auditParams(record),
        (kav::Params { "pkg", "h1", "UNKNOWN(42)", "alice", "boom" }));
}

TEST(ServiceStatusSinkTest, FinalStatesReachTheAuditWriterAndTheFile)
{
    test::ScratchDir dir;
    PersistedDeploymentState state(dir.path(), textOf);
    std::vector<std::pair<uint32_t, bool>> written;
    ServiceStatusSink sink(state, [&](uint32_t number, const kav::Params& params, bool isError) {
        written.emplace_back(number, isError);
        EXPECT_EQ(params.at(1), "h1");
    });
    HostStatusTable table(sink, [] { return 42; });
    table.createHMElement("pkg", "h1", "alice", test::makeResource("h1"), true);
    table.updateHMStatus("pkg", "h1", "", HOST_ERROR, nullptr, true);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], std::make_pair(kAuditUninstallFailed, true));
    EXPECT_EQ(readLinesFromFile(dir.path().string() + "/.persist"), (Lines { "pkg|1|h1|42|9|" }));
}

TEST_F(PstIndexFileTest, TruncatedLineKeepsItsCompleteHostGroups)
{
    ASSERT_EQ(
        rsmanagerutils::writeLinesToFile(dir.path().string() + "/.persist", { "pkg|3|h1|5|7|ok|h2|6" }), 0);
    PstIndexFile reread(dir.path());
    HostStatusMap hosts;
    EXPECT_EQ(reread.getServiceEntryByName("pkg", hosts), 0);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts["h1"].errorText, "ok");
}

// A file that is there but cannot be read is taken as empty and never written over.
TEST_F(PstIndexFileTest, AnUnreadableFileIsNeverReplaced)
{
    const std::string path = dir.path().string() + "/.persist";
    ASSERT_EQ(rsmanagerutils::writeLinesToFile(path, { "pkg|2|h1| 5|-1|t|h2|99999999999|4294967296|u" }), 0);

    std::unique_ptr<PstIndexFile> unreadable;
    {
        rsmanagerutils::IoCalls calls = rsmanagerutils::posixIoCalls();
        calls.read = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
        const rsmanagerutils::IoCalls previous = rsmanagerutils::setIoCalls(calls);
        unreadable = std::make_unique<PstIndexFile>(dir.path());
        rsmanagerutils::setIoCalls(previous);
    }
    EXPECT_TRUE(unreadable->lines().empty());
    unreadable->addServiceEntry("other", "h1", 7, HOST_INSTALLED, "");
    EXPECT_EQ(unreadable->writeServiceFile(), -1);
    EXPECT_EQ(readLinesFromFile(path), (Lines { "pkg|2|h1| 5|-1|t|h2|99999999999|4294967296|u" }));
}

class PersistedStateTest : public ::testing::Test {
protected:
    PersistedStateTest()
        : state(std::make_unique<PersistedDeploymentState>(dir.path(), textOf))
        , sink(*this)
        , table(sink, [this] { return clock; })
    {
    }

    // Wires the table to the persisted state as the service object does.
    struct Sink : test::FakeHostStatusSink {
        explicit Sink(PersistedStateTest& t)
            : owner(t)
        {
        }
        void persist(const std::string& p, const std::string& h, const HostStatusEntry& e) override
        {
            FakeHostStatusSink::persist(p, h, e);
            owner.state->update(p, h, e);
        }
        void persistAll(
            const std::string& p, const std::vector<std::pair<std::string, HostStatusEntry>>& all) override
        {
            owner.state->update(p, all);
        }
        PersistedStateTest& owner;
    };

    Lines fileLines() { return readLinesFromFile(dir.path().string() + "/.persist"); }

    test::ScratchDir dir;
    std::unique_ptr<PersistedDeploymentState> state;
    Sink sink;
    int32_t clock = 500;
    HostStatusTable table;
};

TEST_F(PersistedStateTest, AllocatingIsStoredAsErrorAndInstalledReplacesIt)
{
    table.createHMElement("pkg", "h1", "alice", {}, false);
    kav::KavErrorInfo lost(kav::rc::RS_HOST_NOT_ALLOCATED, "", "", "", { "pkg", "h1" });
    EXPECT_EQ(fileLines(), (Lines { "pkg|1|h1|500|9|" + textOf(lost) }));

    table.createHMElement("pkg", "h1", "alice", test::makeResource("h1"), false);
    for (uint32_t s : { HOST_WAITING, HOST_DOWNLOADING, HOST_RUNNING }) {
        ++clock;
        table.updateHMStatus("pkg", "h1", "", s, nullptr, false);
        EXPECT_EQ(fileLines(), (Lines { "pkg|1|h1|500|9|" + textOf(lost) }))
            << "state " << s << " is not written";
    }
    clock = 900;
    table.updateHMStatus("pkg", "h1", "", HOST_INSTALLED, nullptr, false);
    EXPECT_EQ(fileLines(), (Lines { "pkg|1|h1|900|7|" }));
}

TEST_F(PersistedStateTest, HostsChangedTogetherAreOneWriteOfTheirLastStates)
{
    table.createHMElement("pkg", "h9", "alice", {}, false);
    static int writes;
    writes = 0;
    rsmanagerutils::IoCalls calls = rsmanagerutils::posixIoCalls();
    calls.rename = [](const char* from, const char* to) {
        ++writes;
        return ::rename(from, to);
    };
    const rsmanagerutils::IoCalls previous = rsmanagerutils::setIoCalls(calls);
    table.changeTogether("pkg", [&] {
        table.createHMElement("pkg", "h2", "alice", {}, false);
        table.createHMElement("pkg", "h1", "alice", {}, false);
        table.updateHMStatus("pkg", "h1", "", HOST_INSTALLED, nullptr, false);
    });
    rsmanagerutils::setIoCalls(previous);

    EXPECT_EQ(writes, 1);
    auto lost = [](const char* host) {
        return textOf(kav::KavErrorInfo(kav::rc::RS_HOST_NOT_ALLOCATED, "", "", "", { "pkg", host }));
    };
    EXPECT_EQ(fileLines(), (Lines { "pkg|3|h1|500|7||h2|500|9|" + lost("h2") + "|h9|500|9|" + lost("h9") }));
}

TEST_F(PersistedStateTest, RestartResumesExactlyTheFile)
{
    table.createHMElement("pkg", "h2", "alice", test::makeResource("h2"), false);
    table.createHMElement("pkg", "h1", "alice", test::makeResource("h1"), false);
    clock = 600;
    table.updateHMStatus("pkg", "h1", "", HOST_INSTALLED, nullptr, false);
    kav::KavErrorInfo failure(kav::rc::RS_DEPLOY_COMMAND_LOST, "", "", "", { "5" });
    table.updateHMStatus("pkg", "h2", "", HOST_ERROR, &failure, false);

    test::FakeHostStatusSink quiet;
    HostStatusTable restarted(quiet);
    PersistedDeploymentState reopened(dir.path(), textOf);
    reopened.load(restarted);
    auto list = restarted.getHMStatus("pkg", HostStatusTable::kFilterAll);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->entries.size(), 2u);
    EXPECT_EQ(list->entries[0], (DplStatusEntry { "h1", HOST_INSTALLED, "" }));
    EXPECT_EQ(list->entries[1], (DplStatusEntry { "h2", HOST_ERROR, textOf(failure) }));
    EXPECT_TRUE(quiet.persisted.empty()) << "reading back does not write";
}

TEST_F(PersistedStateTest, RemoveDropsTableAndLineButNotAPackageOnlyInTheFile)
{
    table.createHMElement("pkg", "h1", "alice", {}, false);
    table.createHMElement("gone", "h1", "alice", {}, false);
    table.removePackage("gone"); // in the file, no longer in memory

    state->remove(table, "gone");
    EXPECT_EQ(fileLines().size(), 2u) << "a package without an in-memory entry keeps its line";

    state->remove(table, "pkg");
    EXPECT_EQ(table.getHMStatus("pkg", 0), nullptr);
    ASSERT_EQ(fileLines().size(), 1u);
    EXPECT_EQ(PstIndexFile::getNameFromEntry(fileLines()[0]), "gone");
}

} // namespace
} // namespace rs
