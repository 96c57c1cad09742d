#include "rs/repository/IndexCache.h"
#include "rs/repository/operations/ModuleListCache.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

using namespace storagetest;
using kav::IndexCache;
using kav::IndexFile;

namespace {

// One index line of a module in the given version.
std::string line(const std::string& module, int version)
{
    return module + "|" + std::to_string(version) + "|" + module + ".zip|100|admin|0|10|0\n";
}

class StorageIndexCache : public ::testing::Test {
protected:
    std::string directory() const { return dir.path().string(); }
    // Replaces the index the way an outside writer would: a new file renamed over it.
    void replaceIndex(const std::string& text)
    {
        writeFile(dir / ".index.new", text);
        std::filesystem::rename(dir / ".index.new", dir / ".index");
    }
    ScratchDir dir;
};

TEST_F(StorageIndexCache, IndexChangedOnDiskIsReadAgain)
{
    IndexCache cache;
    replaceIndex(line("a", 1));
    kav::IndexSnapshot before = cache.entries(directory());
    EXPECT_EQ(cache.entries(directory()), before) << "an unchanged index is not read again";
    replaceIndex(line("a", 2));
    kav::IndexSnapshot after = cache.entries(directory());
    EXPECT_EQ(before->front().version, "1");
    EXPECT_EQ(after->front().version, "2");

    // Rewritten in place, growing: the same file, another size.
    writeFile(dir / ".index", line("a", 2) + line("b", 1));
    EXPECT_EQ(cache.entries(directory())->size(), 2u);
    std::filesystem::remove(dir / ".index");
    EXPECT_TRUE(cache.entries(directory())->empty());
}

// Both caches are bounded by bytes: beyond the capacity the least recently
// used go, and one larger than the whole capacity is answered but not kept.
TEST_F(StorageIndexCache, CachesBeyondTheirCapacityInBytesDropTheLeastRecentlyUsed)
{
    ScratchDir other;
    writeFile(other / ".index", line("x", 1) + line("y", 1));
    replaceIndex(line("a", 1) + line("b", 1));
    IndexCache measure;
    measure.entries(directory());
    const size_t one = measure.cachedBytes();
    IndexCache cache(one + one / 2);
    kav::IndexSnapshot kept = cache.entries(directory());
    cache.entries(other.path().string());
    EXPECT_EQ(cache.directories(), 1u);
    EXPECT_EQ(kept->size(), 2u) << "a dropped snapshot still belongs to whoever holds it";
    EXPECT_NE(cache.entries(directory()), kept);
    IndexCache tooSmall(one - 1);
    EXPECT_EQ(tooSmall.entries(directory())->size(), 2u);
    EXPECT_EQ(tooSmall.directories(), 0u);

    rs::modules::ModuleListCache lists;
    const size_t records = rs::modules::ModuleListCache::bytesOf(*lists.records(directory(), "apps/a"));
    rs::modules::ModuleListCache bounded(records + records / 2);
    const rs::modules::SharedRecords first = bounded.records(directory(), "apps/a");
    bounded.records(directory(), "apps/b");
    EXPECT_EQ(bounded.size(), 1u);
    EXPECT_NE(bounded.records(directory(), "apps/a"), first);
    rs::modules::ModuleListCache tooSmallForRecords(records - 1);
    EXPECT_EQ(tooSmallForRecords.records(directory(), "apps/a")->count(), 2u);
    EXPECT_EQ(tooSmallForRecords.size(), 0u);
}

// Both caches also let go of what was not used after a given time (the
// daemon passes its file cache's time-out ago), and of nothing used since.
TEST_F(StorageIndexCache, CachesForgetWhatWentUnusedSinceAGivenTime)
{
    ScratchDir other;
    writeFile(other / ".index", line("x", 1));
    replaceIndex(line("a", 1));
    IndexCache cache;
    const kav::IndexSnapshot idle = cache.entries(directory());
    const kav::IndexSnapshot used = cache.entries(other.path().string());
    rs::modules::ModuleListCache lists;
    lists.records(directory(), "apps/idle");
    lists.records(directory(), "apps/used");
    const auto since = std::chrono::steady_clock::now();
    // Used again after that time, answered at once from what is built,
    // which counts as a use.
    EXPECT_EQ(cache.freshEntries(other.path().string()), used);
    EXPECT_NE(lists.builtRecords(directory(), "apps/used"), nullptr);
    const size_t usedBytes = IndexCache::bytesOf(*used);

    EXPECT_TRUE(cache.forgetUnusedSince(since));
    EXPECT_EQ(cache.directories(), 1u);
    EXPECT_EQ(cache.cachedBytes(), usedBytes);
    EXPECT_EQ(cache.entries(other.path().string()), used) << "the one used since stays";
    EXPECT_NE(cache.entries(directory()), idle) << "the idle one is read again";
    EXPECT_FALSE(cache.forgetUnusedSince(since - std::chrono::hours(1)));

    EXPECT_TRUE(lists.forgetUnusedSince(since));
    EXPECT_EQ(lists.size(), 1u);
    EXPECT_EQ(
        lists.keptBytes(), rs::modules::ModuleListCache::bytesOf(*lists.records(directory(), "apps/used")));
}

// Readers beside a writer that rewrites the whole index in one version:
// every snapshot is one whole version, never a mix, and the last one wins.
TEST_F(StorageIndexCache, ReadersBesideAWriterSeeWholeVersions)
{
    IndexCache& cache = IndexCache::instance();
    constexpr int kModules = 50;
    constexpr int kVersions = 40;
    auto writeVersion = [&](int version) {
        IndexFile index(directory());
        for (int m = 0; m < kModules; ++m)
            index.addServiceEntry("m" + std::to_string(m), std::to_string(version), "f", 1, "u", false, 0, 0);
        return index.writeServiceFile();
    };
    ASSERT_EQ(writeVersion(1), 0);
    std::atomic<bool> done { false };
    std::atomic<int> torn { 0 };
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                kav::IndexSnapshot entries = cache.entries(directory());
                std::set<std::string> versions;
                for (const auto& entry : *entries)
                    versions.insert(entry.version);
                if (entries->size() != kModules || versions.size() != 1)
                    ++torn;
            }
        });
    }
    for (int version = 2; version <= kVersions; ++version)
        EXPECT_EQ(writeVersion(version), 0);
    done = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(cache.entries(directory())->front().version, std::to_string(kVersions));
    cache.invalidate(directory());
}

} // namespace
