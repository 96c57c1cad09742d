#include "rs/repository/KavCacheFile.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <future>
#include <thread>

using namespace storagetest;
using kav::KavFileCache;

namespace {

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * kKiB;

std::atomic<int> gDiskReads { 0 };

ssize_t countingRead(int fd, void* buffer, size_t count)
{
    ++gDiskReads;
    return ::read(fd, buffer, count);
}

class StorageFileCache : public ::testing::Test {
protected:
    StorageFileCache()
        : cache([this] { return now; })
    {
        gDiskReads = 0;
    }

    std::string makeFile(const std::string& name, size_t size, char fill = 'x')
    {
        std::string path = dir / name;
        writeRaw(path, std::string(size, fill));
        return path;
    }

    // Reads through the cache and returns the caller's block.
    BlockPtr read(const std::string& path)
    {
        ACE_Message_Block* raw = nullptr;
        EXPECT_EQ(cache.readFile(path, raw), 0) << path;
        return BlockPtr(raw);
    }

    ScratchDir dir;
    time_t now = 1'000'000;
    KavFileCache cache;
};

TEST_F(StorageFileCache, SecondReadIsServedFromMemoryWithoutCopy)
{
    std::string path = makeFile("calc.zip", 5000, 'c');
    ScopedIoCalls hooks([] {
        auto calls = rsmanagerutils::posixIoCalls();
        calls.read = &countingRead;
        return calls;
    }());
    LogCapture log("repository.cachefile");

    BlockPtr first = read(path);
    int readsAfterFirst = gDiskReads;
    BlockPtr second = read(path);

    EXPECT_GT(readsAfterFirst, 0);
    EXPECT_EQ(gDiskReads, readsAfterFirst) << "the disk is read once";
    EXPECT_TRUE(log.contains(" read file from disk: " + path));
    EXPECT_TRUE(log.contains(" read file from cache: " + path));
    EXPECT_EQ(contentsOf(*second), std::string(5000, 'c'));
    EXPECT_NE(first.get(), second.get()) << "each caller gets a block of its own";
    EXPECT_EQ(first->base(), second->base()) << "over the same contents";
    EXPECT_EQ(second->data_block()->reference_count(), 3) << "cache + two callers";
    EXPECT_EQ(cache.currentSize(), 5000u);
}

TEST_F(StorageFileCache, EvictsLeastRecentlyUsedFirst)
{
    cache.setCacheSize(1);
    std::string a = makeFile("a", 600 * kKiB), b = makeFile("b", 300 * kKiB), c = makeFile("c", 400 * kKiB);
    read(a);
    read(b);
    read(c);
    EXPECT_FALSE(cache.contains(a));
    EXPECT_TRUE(cache.contains(b));
    EXPECT_TRUE(cache.contains(c));
    EXPECT_EQ(cache.currentSize(), 700 * kKiB);
}

TEST_F(StorageFileCache, HitRefreshesRecency)
{
    cache.setCacheSize(1);
    std::string a = makeFile("a", 600 * kKiB), b = makeFile("b", 300 * kKiB), c = makeFile("c", 400 * kKiB);
    read(a);
    read(b);
    read(a); // a is now the most recently used
    read(c);
    EXPECT_TRUE(cache.contains(a));
    EXPECT_FALSE(cache.contains(b));
    EXPECT_TRUE(cache.contains(c));
    EXPECT_EQ(cache.currentSize(), 1000 * kKiB);
}

TEST_F(StorageFileCache, OversizedFileIsCachedAloneUntilNextInsertion)
{
    cache.setCacheSize(1);
    std::string small = makeFile("small", 100 * kKiB), big = makeFile("big", 2 * kMiB),
                next = makeFile("next", 10 * kKiB);
    read(small);
    read(big);
    EXPECT_FALSE(cache.contains(small));
    EXPECT_TRUE(cache.contains(big));
    EXPECT_EQ(cache.entryCount(), 1u);
    read(next);
    EXPECT_FALSE(cache.contains(big));
    EXPECT_TRUE(cache.contains(next));
    EXPECT_EQ(cache.currentSize(), 10 * kKiB);
}

TEST_F(StorageFileCache, EvictedContentsStayValidForHolder)
{
    cache.setCacheSize(1);
    std::string a = makeFile("a", 700 * kKiB, 'a'), b = makeFile("b", 700 * kKiB, 'b');
    BlockPtr held = read(a);
    read(b);
    ASSERT_FALSE(cache.contains(a));
    EXPECT_EQ(held->data_block()->reference_count(), 1) << "only the holder is left";
    EXPECT_EQ(contentsOf(*held), std::string(700 * kKiB, 'a'));
}

TEST_F(StorageFileCache, WritingThroughCacheDropsStaleContents)
{
    std::string path = makeFile("m.zip", 10, 'o');
    EXPECT_EQ(contentsOf(*read(path)), std::string(10, 'o'));
    ASSERT_EQ(cache.createFile(path, *makeBlock("replaced"), O_TRUNC), 0);
    EXPECT_FALSE(cache.contains(path)) << "written contents are not cached";
    EXPECT_EQ(contentsOf(*read(path)), "replaced");
    EXPECT_EQ(cache.createFile(dir / "no/dir/f", *makeBlock("x"), O_TRUNC), -1);
}

TEST_F(StorageFileCache, ReplacedFileIsReadFromDiskAfterClose)
{
    std::string path = makeFile("m.zip", 10, 'o');
    read(path);
    // An upload is moved into place: the cache is told first, then the file is replaced.
    writeRaw(path + ".tmp", "new version");
    EXPECT_EQ(cache.closeFile(path), 0);
    ASSERT_EQ(::rename((path + ".tmp").c_str(), path.c_str()), 0);
    EXPECT_EQ(contentsOf(*read(path)), "new version");
    EXPECT_EQ(cache.closeFile(dir / "never-cached"), 0);
}

TEST_F(StorageFileCache, UnreadableFileLeavesCacheUnchanged)
{
    std::string path = makeFile("a", 100);
    read(path);
    ACE_Message_Block* raw = reinterpret_cast<ACE_Message_Block*>(0x1);
    EXPECT_EQ(cache.readFile(dir / "missing", raw), -1);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(cache.entryCount(), 1u);
    EXPECT_EQ(cache.currentSize(), 100u);
}

TEST_F(StorageFileCache, SizeAndTimeoutAcceptOnlySaneValues)
{
    EXPECT_EQ(cache.capacity(), 200u * kMiB);
    for (int ignored : { 0, -1, 2001 }) {
        cache.setCacheSize(ignored);
        EXPECT_EQ(cache.capacity(), 200u * kMiB) << ignored;
    }
    cache.setCacheSize(2000);
    EXPECT_EQ(cache.capacity(), 2'097'152'000u);

    EXPECT_EQ(cache.timeout(), 60);
    cache.setCacheTimeout(0);
    cache.setCacheTimeout(-5);
    EXPECT_EQ(cache.timeout(), 60);
    cache.setCacheTimeout(30);
    EXPECT_EQ(cache.timeout(), 30);
}

TEST_F(StorageFileCache, IdleEntriesExpireAtTheTimeout)
{
    std::string young = makeFile("young", 10), old = makeFile("old", 20);
    read(old);
    now += 1;
    read(young);
    now += 58; // old unused for 59 s, young for 58 s
    cache.cleanupCache();
    EXPECT_TRUE(cache.contains(old));
    EXPECT_TRUE(cache.contains(young));

    now += 1; // old unused for 60 s
    cache.cleanupCache();
    EXPECT_FALSE(cache.contains(old));
    EXPECT_TRUE(cache.contains(young));
    EXPECT_EQ(cache.currentSize(), 10u);
}

TEST_F(StorageFileCache, UseRestartsIdleTime)
{
    std::string path = makeFile("f", 10);
    read(path);
    now += 50;
    read(path);
    now += 59;
    cache.cleanupCache();
    EXPECT_TRUE(cache.contains(path)) << "109 s after the first read, 59 s after the last";
    now += 1;
    cache.cleanupCache();
    EXPECT_FALSE(cache.contains(path));
}

TEST_F(StorageFileCache, ConcurrentReadersAndInvalidationsSeeWholeFiles)
{
    cache.setCacheSize(1);
    std::vector<std::string> paths;
    for (char c = 'a'; c <= 'f'; ++c)
        paths.push_back(makeFile(std::string(1, c), 300 * kKiB, c));

    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    auto reader = [&](size_t seed) {
        start.wait();
        int bad = 0;
        for (size_t i = 0; i < 300; ++i) {
            const std::string& path = paths[(seed + i * 7) % paths.size()];
            if (i % 11 == 0)
                cache.closeFile(path);
            ACE_Message_Block* raw = nullptr;
            if (cache.readFile(path, raw) != 0) {
                ++bad;
                continue;
            }
            BlockPtr block(raw);
            char expected = path.back();
            if (block->length() != 300 * kKiB || block->rd_ptr()[0] != expected
                || block->rd_ptr()[block->length() - 1] != expected)
                ++bad;
        }
        return bad;
    };
    std::vector<std::future<int>> results;
    for (size_t t = 0; t < 4; ++t)
        results.push_back(std::async(std::launch::async, reader, t));
    go.set_value();
    for (auto& result : results)
        EXPECT_EQ(result.get(), 0);
    EXPECT_LE(cache.currentSize(), 1 * kMiB);
}

} // namespace
