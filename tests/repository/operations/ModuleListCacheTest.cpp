#include "rs/repository/operations/ModuleListCache.h"

#include "rs/repository/IndexFile.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace rs::modules {
namespace {

class ModuleListCacheTest : public ::testing::Test {
protected:
    std::string directory() const { return dir_.path().string(); }
    void add(const std::string& module, const std::string& version, bool deleted = false)
    {
        kav::IndexFile index(directory());
        std::vector<std::string> links { "app1" };
        index.addServiceEntry(module, version, module + ".zip", 100, "admin", deleted, 42, 1, &links);
        ASSERT_EQ(index.writeServiceFile(), 0);
    }
    void TearDown() override { kav::IndexCache::instance().invalidate(directory()); }

    rs::test::ScratchDir dir_;
    ModuleListCache cache_;
};

TEST_F(ModuleListCacheTest, RecordsOfAnUnchangedIndexAreSharedNotRebuilt)
{
    add("calc", "1");
    add("old", "4", true);
    SharedRecords first = cache_.records(directory(), "/apps/web");
    SharedRecords second = cache_.records(directory(), "/apps/web");
    ASSERT_EQ(first->count(), 2u);
    EXPECT_EQ(first, second);
    const RepositoryAppEntry& calc = first->at(0);
    EXPECT_EQ(calc.moduleName, "calc");
    EXPECT_EQ(calc.consumer, "/apps/web");
    EXPECT_EQ(calc.linkedApps, std::vector<std::string> { "app1" });
    EXPECT_EQ(calc.fileSize, 42u);
    EXPECT_FALSE(calc.deleted);
    EXPECT_TRUE(first->at(1).deleted);
    // Shared for answer after answer: encoded once, not per answer.
    EXPECT_NE(first->wire(), nullptr);
}

TEST_F(ModuleListCacheTest, EachConsumerLabelHasItsOwnRecords)
{
    add("calc", "1");
    SharedRecords direct = cache_.records(directory(), "apps/web");
    SharedRecords walked = cache_.records(directory(), "/apps/web");
    EXPECT_EQ(direct->at(0).consumer, "apps/web");
    EXPECT_EQ(walked->at(0).consumer, "/apps/web");
    EXPECT_EQ(cache_.size(), 2u);
}

TEST_F(ModuleListCacheTest, BeyondTheCapacityInBytesTheLeastRecentlyUsedGoAndTooLargeOnesAreNotKept)
{
    add("calc", "1");
    const size_t one = ModuleListCache::bytesOf(*cache_.records(directory(), "apps/a"));
    ModuleListCache bounded(one + one / 2);
    SharedRecords first = bounded.records(directory(), "apps/a");
    bounded.records(directory(), "apps/b");
    EXPECT_EQ(bounded.size(), 1u);
    EXPECT_NE(bounded.records(directory(), "apps/a"), first);
    ModuleListCache tooSmall(one - 1);
    EXPECT_EQ(tooSmall.records(directory(), "apps/a")->count(), 1u);
    EXPECT_EQ(tooSmall.size(), 0u);
}

TEST_F(ModuleListCacheTest, WrittenIndexGivesNewRecordsAndTheOldOnesAreDropped)
{
    add("calc", "1");
    SharedRecords before = cache_.records(directory(), "c");
    add("calc", "2");
    SharedRecords after = cache_.records(directory(), "c");
    EXPECT_EQ(before->at(0).version, "1");
    ASSERT_EQ(after->count(), 1u);
    EXPECT_EQ(after->at(0).version, "2");
    EXPECT_EQ(cache_.size(), 1u);
}

TEST_F(ModuleListCacheTest, IndexChangedOnDiskGivesNewRecords)
{
    add("calc", "1");
    SharedRecords before = cache_.records(directory(), "c");
    const std::string index = directory() + "/.index";
    std::filesystem::permissions(
        index, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    {
        std::ofstream out(index, std::ios::app);
        out << "more|1|more.zip|1|u|0|0|0\n";
    }
    EXPECT_EQ(cache_.records(directory(), "c")->count(), 2u);
    EXPECT_EQ(before->count(), 1u);
}

TEST_F(ModuleListCacheTest, MissingIndexListsNothingAndKeepsNothing)
{
    EXPECT_EQ(cache_.records(directory(), "c")->count(), 0u);
    EXPECT_EQ(cache_.records(directory() + "/absent", "c")->count(), 0u);
    EXPECT_EQ(cache_.size(), 0u);
}

} // namespace
} // namespace rs::modules
