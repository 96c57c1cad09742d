#include "rs/repository/IndexFile.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

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
    ScratchDir dir;
};

// Hand-edited lines: only leading digits count, no blank or sign is
// skipped, a value too large for its field reads as its largest, and the
// largest version is never followed by a smaller one.
TEST_F(StorageIndexFile, HandEditedFieldsReadAsTheirLeadingDigits)
{
    writeFile(indexPath(),
        "odd|x|f|12abc|o|-1|size|3\r\n"
        "short|7\n"
        "\n"
        "suffixed|7b|f| 12|o|0|0|0\n"
        "huge|99999999999999999999999|f|99999999999|o|0|4294967296|0\n"
        "top|18446744073709551614|f|0|o|0|0|0\n"
        "gone|3|f|0|owner|1|0|0\n");
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
    EXPECT_EQ(index.nextVersion("huge"), "18446744073709551615");
    EXPECT_EQ(index.nextVersion("top"), "18446744073709551615");
    EXPECT_FALSE(index.doesEntryExist("gone")) << "a deleted entry is a tombstone";
    EXPECT_EQ(index.nextVersion("gone"), "4");

    index.removeServiceEntryByName("short");
    ASSERT_EQ(index.writeServiceFile(), 0);
    const std::string rewritten = readFile(indexPath());
    EXPECT_EQ(rewritten.find('\r'), std::string::npos);
    EXPECT_EQ(rewritten.find("\n\n"), std::string::npos) << "empty lines go with the next write";
}

// An index that is there but cannot be read lists nothing, and a change is
// refused rather than written over the entries it was never told of.
TEST_F(StorageIndexFile, AnIndexThatCannotBeReadIsNeverReplaced)
{
    writeFile(indexPath(), "calc|3|calc.zip|100|admin|0|512|0\ntool|1|t.bin|7|bob|0|9|0\n");
    const std::string before = readFile(indexPath());
    std::unique_ptr<IndexFile> index;
    {
        ScopedIoCalls hooks(failingReads());
        index = std::make_unique<IndexFile>(dir.path());
    }
    EXPECT_EQ(index->getNumEntries(), 0);
    index->addServiceEntry("new", "1", "new.bin", 1, "eve", false, 1, 0);
    EXPECT_EQ(index->writeServiceFile(), -1);
    EXPECT_EQ(readFile(indexPath()), before);
}

} // namespace
