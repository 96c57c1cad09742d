#include "rs/repository/KavCacheFile.h"

#include "repository/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace storagetest;
using kav::KavFileCache;

namespace {

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * kKiB;

class StorageFileCache : public ::testing::Test {
protected:
    StorageFileCache()
        : cache([this] { return now; })
    {
        cache.setCacheSize(1);
    }

    std::string makeFile(const std::string& name, size_t size, char fill = 'x')
    {
        writeFile(dir / name, std::string(size, fill));
        return dir / name;
    }

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

TEST_F(StorageFileCache, ConcurrentReadersAndInvalidationsSeeWholeFiles)
{
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
            if (block->length() != 300 * kKiB || block->rd_ptr()[0] != path.back()
                || block->rd_ptr()[block->length() - 1] != path.back())
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
