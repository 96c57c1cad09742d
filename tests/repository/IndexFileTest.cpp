#include "rs/repository/IndexFile.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>

using namespace storagetest;
using kav::IndexFile;
using kav::ModuleIndexEntry;
using Lines = std::vector<std::string>;

namespace {

class StorageIndexFile : public ::testing::Test {
protected:
    std::string indexPath() const { return dir / ".index"; }
    void writeIndex(const std::string& text) { writeRaw(indexPath(), text); }
    Lines readLinesFromIndex() const { return rsmanagerutils::readLinesFromFile(indexPath()); }
    ScratchDir dir;
};

TEST_F(StorageIndexFile, MissingFileIsEmptyIndexAndFirstVersionIsOne)
{
    IndexFile index(dir.path());
    EXPECT_EQ(index.getNumEntries(), 0);
    EXPECT_EQ(index.getVersionByName("calc"), "0");
    EXPECT_EQ(index.nextVersion("calc"), "1");
    EXPECT_FALSE(index.doesEntryExist("calc"));
    ModuleIndexEntry entry;
    EXPECT_EQ(index.getServiceEntryByName("calc", entry), -1);
}

TEST_F(StorageIndexFile, WritesDocumentedLineFormat)
{
    IndexFile index(dir.path());
    Lines apps { "app1" };
    index.addServiceEntry("calc", "3", "calc.zip", 100, "admin", false, 512, 1, &apps);
    index.addServiceEntry("tool", "1", "tool.bin", 7, "bob", true, 0, 0);
    ASSERT_EQ(index.writeServiceFile(), 0);
    EXPECT_EQ(readRaw(indexPath()), "calc|3|calc.zip|100|admin|0|512|1|app1\ntool|1|tool.bin|7|bob|1|0|0\n")
        << "no trailing separator without links";
}

TEST_F(StorageIndexFile, ParsesEveryFieldAndAppendsLinks)
{
    writeIndex("calc|3|calc.zip|100|admin|1|512|2|app1|app2\n");
    IndexFile index(dir.path());
    std::string version = "v", fileName = "f", owner = "o";
    int32_t addTime = -1, fileSize = -1, linkCount = -1;
    bool deleted = false;
    Lines apps { "already" };
    ASSERT_EQ(index.getServiceEntryByName(
                  "calc", version, fileName, addTime, owner, deleted, fileSize, linkCount, apps),
        0);
    EXPECT_EQ(version, "3");
    EXPECT_EQ(fileName, "calc.zip");
    EXPECT_EQ(addTime, 100);
    EXPECT_EQ(owner, "admin");
    EXPECT_TRUE(deleted);
    EXPECT_EQ(fileSize, 512);
    EXPECT_EQ(linkCount, 2);
    EXPECT_EQ(apps, (Lines { "already", "app1", "app2" })) << "the link list is appended to";
    EXPECT_EQ(index.getLinkCountByName("calc"), 2);

    version = "untouched";
    EXPECT_EQ(index.getServiceEntryByName(
                  "other", version, fileName, addTime, owner, deleted, fileSize, linkCount, apps),
        -1);
    EXPECT_EQ(version, "untouched");
}

// Hand-edited lines: only leading digits count, no blank or sign is
// skipped, and a value too large for its field reads as its largest.
TEST_F(StorageIndexFile, HandEditedFieldsReadAsTheirLeadingDigits)
{
    writeIndex("odd|x|f|12abc|o|-1|size|3\n"
               "short|7\n"
               "suffixed|7b|f| 12|o|0|0|0\n"
               "huge|99999999999999999999999|f|99999999999|o|0|4294967296|0\n"
               "top|18446744073709551614|f|0|o|0|0|0\n");
    IndexFile index(dir.path());
    ModuleIndexEntry odd, suffixed, huge;
    ASSERT_EQ(index.getServiceEntryByName("odd", odd), 0);
    EXPECT_EQ(odd.addTime, 12);
    EXPECT_FALSE(odd.deleted) << "a deleted flag of -1 is not 1";
    EXPECT_EQ(odd.fileSize, 0);
    EXPECT_TRUE(odd.linkedApps.empty()) << "links that are not there are not invented";
    EXPECT_EQ(index.nextVersion("odd"), "1");
    EXPECT_EQ(index.getVersionByName("short"), "0") << "fewer than three fields";
    ASSERT_EQ(index.getServiceEntryByName("suffixed", suffixed), 0);
    EXPECT_EQ(suffixed.addTime, 0);
    EXPECT_EQ(index.nextVersion("suffixed"), "8");
    ASSERT_EQ(index.getServiceEntryByName("huge", huge), 0);
    EXPECT_EQ(huge.addTime, INT32_MAX);
    EXPECT_EQ(huge.fileSize, INT32_MAX);
    EXPECT_EQ(index.nextVersion("huge"), "18446744073709551615") << "the largest version stays";
    EXPECT_EQ(index.nextVersion("top"), "18446744073709551615");
}

TEST_F(StorageIndexFile, ReplacingMovesEntryToEndWithoutDuplicates)
{
    IndexFile index(dir.path());
    index.addServiceEntry("a", "1", "a.zip", 1, "u", false, 1, 0);
    index.addServiceEntry("b", "1", "b.zip", 1, "u", false, 1, 0);
    index.addServiceEntry("a", "2", "a.zip", 2, "u", false, 1, 0);
    ASSERT_EQ(index.writeServiceFile(), 0);
    EXPECT_EQ(readLinesFromIndex(), (Lines { "b|1|b.zip|1|u|0|1|0", "a|2|a.zip|2|u|0|1|0" }));
    Lines names;
    index.getPackageNameList(names);
    EXPECT_EQ(names, (Lines { "b", "a" }));
}

TEST_F(StorageIndexFile, DeletedEntryIsTombstoneThatKeepsNumbering)
{
    IndexFile index(dir.path());
    Lines apps { "app1" };
    index.addServiceEntry("calc", "4", "calc.zip", 10, "admin", false, 99, 1, &apps);
    index.addServiceEntry("other", "1", "o.zip", 10, "admin", false, 1, 0);
    EXPECT_EQ(index.deleteServiceByName("missing"), -1);
    ASSERT_EQ(index.deleteServiceByName("calc"), 0);
    ASSERT_EQ(index.writeServiceFile(), 0);

    IndexFile reread(dir.path());
    EXPECT_FALSE(reread.doesEntryExist("calc"));
    EXPECT_EQ(reread.getVersionByName("calc"), "4");
    EXPECT_EQ(reread.nextVersion("calc"), "5");
    ModuleIndexEntry entry;
    ASSERT_EQ(reread.getServiceEntryByName("calc", entry), 0);
    EXPECT_TRUE(entry.deleted);
    EXPECT_EQ(entry.fileName, "calc.zip");
    EXPECT_EQ(entry.fileSize, 99);
    EXPECT_EQ(entry.linkedApps, Lines { "app1" });
    Lines names;
    reread.getPackageNameList(names);
    EXPECT_EQ(names, (Lines { "other", "calc" })) << "the tombstone moved to the end";
}

TEST_F(StorageIndexFile, AllEntriesInFileOrderWithoutNamelessLines)
{
    writeIndex("b|2|b.zip|5|u|1|0|0\n\ngarbage\na|1|a.zip|6|v|0|3|1|app\n");
    IndexFile index(dir.path());
    std::vector<ModuleIndexEntry> all = index.getAllEntries();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].moduleName, "b");
    EXPECT_TRUE(all[0].deleted);
    EXPECT_EQ(all[1].moduleName, "a");
    EXPECT_EQ(all[1].owner, "v");
    EXPECT_EQ(all[1].linkedApps, Lines { "app" });
}

TEST_F(StorageIndexFile, RemovingFirstOfRepeatedNameExposesTheNext)
{
    writeIndex("calc|1|c|0|o|0|0|0\nx|1|c|0|o|0|0|0\ncalc|2|c|0|o|0|0|0\n");
    IndexFile index(dir.path());
    index.removeServiceEntryByName("calc");
    EXPECT_EQ(index.getVersionByName("calc"), "2");
    index.removeServiceEntryByName("calc");
    EXPECT_EQ(index.getVersionByName("calc"), "0");
    EXPECT_EQ(index.getNumEntries(), 1);
}

TEST_F(StorageIndexFile, FirstMatchDecidesExistence)
{
    // Hand-edited files may hold a name twice; the first line counts.
    writeIndex("calc|1|c|0|o|1|0|0\ncalc|2|c|0|o|0|0|0\n");
    IndexFile index(dir.path());
    EXPECT_FALSE(index.doesEntryExist("calc"));
    EXPECT_EQ(index.getVersionByName("calc"), "1");
}

TEST_F(StorageIndexFile, AnyOsLookupIgnoresTypeSuffix)
{
    writeIndex("calc.type_linux|1|c|0|o|0|0|0\nold.type_x|1|c|0|o|1|0|0\nplain|1|c|0|o|0|0|0\n");
    IndexFile index(dir.path());
    EXPECT_TRUE(index.doesEntryExistAnyOS("calc"));
    EXPECT_TRUE(index.doesEntryExistAnyOS("plain"));
    EXPECT_FALSE(index.doesEntryExistAnyOS("old")) << "deleted";
    EXPECT_FALSE(index.doesEntryExistAnyOS("cal"));
    EXPECT_FALSE(index.doesEntryExist("calc")) << "the exact lookup keeps the suffix";
}

TEST_F(StorageIndexFile, AnyCaseLookupReturnsStoredSpelling)
{
    writeIndex("calc|1|c|0|o|0|0|0\nGone|1|c|0|o|1|0|0\n");
    IndexFile index(dir.path());
    EXPECT_EQ(index.getEntryAnyCase("CALC"), "calc");
    EXPECT_EQ(index.getEntryAnyCase("calc"), "calc");
    EXPECT_EQ(index.getEntryAnyCase("gone"), "") << "a deleted match does not count";
    EXPECT_EQ(index.getEntryAnyCase("calcx"), "");
}

TEST_F(StorageIndexFile, CarriageReturnsAndEmptyLinesDisappearOnRewrite)
{
    writeIndex("a|1|f|0|o|0|0|0\r\n\r\nb|1|f|0|o|0|0|0\r\n");
    IndexFile index(dir.path());
    EXPECT_EQ(index.getNumEntries(), 3) << "the empty line is an entry until the next write";
    EXPECT_TRUE(index.doesEntryExist("a"));
    EXPECT_TRUE(index.doesEntryExist("b"));
    EXPECT_FALSE(index.doesEntryExist(""));
    ASSERT_EQ(index.writeServiceFile(), 0);
    EXPECT_EQ(readRaw(indexPath()), "a|1|f|0|o|0|0|0\nb|1|f|0|o|0|0|0\n");
}

// An index that is there but cannot be read lists nothing, and a change is
// refused rather than written over the entries it was never told of.
TEST_F(StorageIndexFile, AnIndexThatCannotBeReadIsNeverReplaced)
{
    writeIndex("calc|3|calc.zip|100|admin|0|512|0\ntool|1|t.bin|7|bob|0|9|0\n");
    const std::string before = readRaw(indexPath());
    std::unique_ptr<IndexFile> index;
    {
        rsmanagerutils::IoCalls calls = rsmanagerutils::posixIoCalls();
        calls.read = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
        ScopedIoCalls failingReads(calls);
        index = std::make_unique<IndexFile>(dir.path());
    }
    EXPECT_EQ(index->getNumEntries(), 0);
    index->addServiceEntry("new", "1", "new.bin", 1, "eve", false, 1, 0);
    LogCapture log("RS.IndexFile");
    EXPECT_EQ(index->writeServiceFile(), -1);
    EXPECT_TRUE(log.contains(indexPath()));
    EXPECT_EQ(readRaw(indexPath()), before);
}

TEST_F(StorageIndexFile, FailedWriteKeepsPreviousIndex)
{
    IndexFile index(dir.path());
    index.addServiceEntry("a", "1", "f", 0, "o", false, 0, 0);
    ASSERT_EQ(index.writeServiceFile(), 0);

    index.addServiceEntry("a", "2", "f", 0, "o", false, 0, 0);
    rsmanagerutils::IoCalls calls = rsmanagerutils::posixIoCalls();
    calls.write = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; };
    {
        ScopedIoCalls hooks(calls);
        EXPECT_EQ(index.writeServiceFile(), -1);
    }
    EXPECT_EQ(IndexFile(dir.path()).getVersionByName("a"), "1");
    EXPECT_EQ(index.writeServiceFile(), 0) << "the in-memory change survives for a retry";
    EXPECT_EQ(IndexFile(dir.path()).getVersionByName("a"), "2");
}

} // namespace
