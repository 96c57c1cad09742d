#include "rs/deployment/persist/PersistedDeploymentState.h"
#include "rs/deployment/persist/PstIndexFile.h"
#include "rs/deployment/persist/ServiceStatusSink.h"

#include "deployment/FakeHostStatusSink.h"
#include "support/ScratchDir.h"

#include "rs/deployment/status/HostStatusTable.h"
#include "rs/repository/dplfileutils.h"

#include "common/ResultCodes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

namespace rs {
namespace {

using rsmanagerutils::readLinesFromFile;
using Lines = std::vector<std::string>;

std::string textOf(const kav::IKavErrorInfo& info)
{
    return test::FakeHostStatusSink::format(info);
}

// What each host's entry reads back as from the file a restart finds: state,
// stamp and text, never a resource, and an error text that cannot break the
// line it is kept in.
TEST(PersistedStateRoundTrip, EveryEntryReadsBackAfterARestart)
{
    const struct {
        const char *package, *host;
        int32_t stamp;
        uint32_t state;
        const char *text, *readBack;
    } rows[] = {
        { "pkg", "h2", 600, HOST_ERROR, "disk full", "disk full" },
        { "pkg", "h1", 500, HOST_UNINSTALLED, "", "" },
        { "pkg", "h3", 650, HOST_INSTALLED, "", "" },
        { "other", "h1", 700, HOST_CANCELLED, "", "" },
        { "hostile", "h1", 5, HOST_ERROR, "a|b\nc\rd", "a b c d" },
    };
    test::ScratchDir dir;
    {
        PstIndexFile file(dir.path());
        for (const auto& row : rows)
            file.addServiceEntry(row.package, row.host, row.stamp, row.state, row.text);
        ASSERT_EQ(file.writeServiceFile(), 0);
    }
    EXPECT_EQ(readLinesFromFile(dir.path().string() + "/.persist")[0],
        "pkg|3|h1|500|8||h2|600|9|disk full|h3|650|7|")
        << "host groups in host name order";
    std::map<std::string, HostStatusMap> table;
    PstIndexFile(dir.path()).getServiceEntryByName(table);
    ASSERT_EQ(table.size(), 3u);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.package) + " " + row.host);
        ASSERT_EQ(table[row.package].count(row.host), 1u);
        const HostStatusEntry& entry = table[row.package][row.host];
        EXPECT_EQ(entry.state, row.state);
        EXPECT_EQ(entry.stamp, row.stamp);
        EXPECT_EQ(entry.errorText, row.readBack);
        EXPECT_FALSE(entry.resource);
        EXPECT_FALSE(entry.uninstall);
    }
}

// A line cut short keeps its complete host groups; a file that is there but
// cannot be read is taken as empty and never written over.
TEST(PersistedStateRoundTrip, ADamagedOrUnreadableFileLosesNothingMore)
{
    test::ScratchDir dir;
    const std::string path = dir.path().string() + "/.persist";
    const Lines damaged { "pkg|3|h1|5|7|ok|h2|6" };
    ASSERT_EQ(rsmanagerutils::writeLinesToFile(path, damaged), 0);
    HostStatusMap hosts;
    EXPECT_EQ(PstIndexFile(dir.path()).getServiceEntryByName("pkg", hosts), 0);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts["h1"].errorText, "ok");

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
    EXPECT_EQ(readLinesFromFile(path), damaged);
}

// The table wired to the file as the service object wires it: a host still
// being allocated is kept as an error (its allocation does not survive a
// restart), states in between are not written, a final state replaces it,
// and final states reach the audit writer.
TEST(PersistedStateRoundTrip, OnlyFinalStatesAndLostAllocationsAreWritten)
{
    test::ScratchDir dir;
    PersistedDeploymentState state(dir.path(), textOf);
    std::vector<std::pair<uint32_t, bool>> audited;
    ServiceStatusSink sink(state, [&](uint32_t number, const kav::Params& params, bool isError) {
        audited.emplace_back(number, isError);
        EXPECT_EQ(params.at(1), "h1");
    });
    int32_t clock = 500;
    HostStatusTable table(sink, [&] { return clock; });
    const auto fileLines = [&] { return readLinesFromFile(dir.path().string() + "/.persist"); };

    table.createHMElement("pkg", "h1", "alice", {}, false);
    const kav::KavErrorInfo lost(kav::rc::RS_HOST_NOT_ALLOCATED, "", "", "", { "pkg", "h1" });
    const Lines allocating { "pkg|1|h1|500|9|" + textOf(lost) };
    EXPECT_EQ(fileLines(), allocating);
    table.createHMElement("pkg", "h1", "alice", test::makeResource("h1"), false);
    for (uint32_t s : { HOST_WAITING, HOST_DOWNLOADING, HOST_RUNNING }) {
        ++clock;
        table.updateHMStatus("pkg", "h1", "", s, nullptr, false);
        EXPECT_EQ(fileLines(), allocating) << "state " << s << " is not written";
    }
    EXPECT_TRUE(audited.empty());
    clock = 900;
    table.updateHMStatus("pkg", "h1", "", HOST_ERROR, nullptr, false);
    EXPECT_EQ(fileLines(), (Lines { "pkg|1|h1|900|9|" }));
    EXPECT_EQ(audited, (std::vector<std::pair<uint32_t, bool>> { { kAuditInstallFailed, true } }));
}

// A run's hosts enter the table together: one write of the file, holding
// each host's last state.
TEST(PersistedStateRoundTrip, HostsChangedTogetherAreOneWriteOfTheirLastStates)
{
    test::ScratchDir dir;
    PersistedDeploymentState state(dir.path(), textOf);
    ServiceStatusSink sink(state, [](uint32_t, const kav::Params&, bool) {});
    HostStatusTable table(sink, [] { return 500; });
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
    EXPECT_EQ(readLinesFromFile(dir.path().string() + "/.persist"),
        (Lines { "pkg|3|h1|500|7||h2|500|9|" + lost("h2") + "|h9|500|9|" + lost("h9") }));
}

} // namespace
} // namespace rs
