// Costs of the storage layer: index files of 1,000 and 10,000 modules (read,
// look-up, rewrite; each should grow linearly with the entry count) and
// module contents served by the file cache (a hit costs the same for 64 MiB
// as for 64 KiB, because no bytes are copied).

#include "rs/repository/IndexFile.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"
#include "support/ScratchDir.h"

#include <ace/Message_Block.h>
#include <benchmark/benchmark.h>

#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

using Scratch = rs::test::ScratchDir;

std::string moduleName(int64_t i)
{
    return "module" + std::to_string(i);
}

// An index of n modules, each with one link, written to dir.
void fillIndex(const std::string& dir, int64_t n)
{
    kav::IndexFile index(dir);
    std::vector<std::string> apps { "app" };
    for (int64_t i = 0; i < n; ++i)
        index.addServiceEntry(
            moduleName(i), "3", moduleName(i) + ".zip", 1700000000, "admin", false, 4096, 1, &apps);
    if (index.writeServiceFile() != 0)
        throw std::runtime_error("cannot write index");
}

void BM_IndexRead(benchmark::State& state)
{
    Scratch dir;
    fillIndex(dir.path(), state.range(0));
    for (auto _ : state) {
        kav::IndexFile index(dir.path());
        benchmark::DoNotOptimize(index.getNumEntries());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The last name is the worst case of the linear search.
void BM_IndexLookupLast(benchmark::State& state)
{
    Scratch dir;
    fillIndex(dir.path(), state.range(0));
    kav::IndexFile index(dir.path());
    std::string last = moduleName(state.range(0) - 1);
    for (auto _ : state) {
        kav::ModuleIndexEntry entry;
        benchmark::DoNotOptimize(index.getServiceEntryByName(last, entry));
    }
}

// What a module list costs: every entry read in file order.
void BM_IndexListAll(benchmark::State& state)
{
    Scratch dir;
    fillIndex(dir.path(), state.range(0));
    kav::IndexFile index(dir.path());
    for (auto _ : state) {
        std::vector<std::string> names;
        index.getPackageNameList(names);
        for (const auto& name : names) {
            kav::ModuleIndexEntry entry;
            index.getServiceEntryByName(name, entry);
            benchmark::DoNotOptimize(entry);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A completed upload: read, replace one entry, rewrite durably.
void BM_IndexUpdateAndWrite(benchmark::State& state)
{
    Scratch dir;
    fillIndex(dir.path(), state.range(0));
    int64_t version = 4;
    for (auto _ : state) {
        kav::IndexFile index(dir.path());
        index.addServiceEntry(
            moduleName(0), std::to_string(version++), "module0.zip", 1700000001, "admin", false, 4096, 0);
        if (index.writeServiceFile() != 0)
            state.SkipWithError("index write failed");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_CacheHit(benchmark::State& state)
{
    Scratch dir;
    std::string path = dir.file("module.zip");
    {
        std::ofstream out(path, std::ios::binary);
        std::string chunk(1 << 20, 'm');
        for (int64_t written = 0; written < state.range(0); written += chunk.size())
            out.write(chunk.data(),
                static_cast<std::streamsize>(std::min<int64_t>(chunk.size(), state.range(0) - written)));
    }
    kav::KavFileCache cache;
    ACE_Message_Block* warm = nullptr;
    if (cache.readFile(path, warm) != 0) {
        state.SkipWithError("cannot read module");
        return;
    }
    warm->release();
    for (auto _ : state) {
        ACE_Message_Block* block = nullptr;
        cache.readFile(path, block);
        benchmark::DoNotOptimize(block->rd_ptr());
        block->release();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The miss path for comparison: the whole file read from the (page-cached) disk.
void BM_CacheMiss(benchmark::State& state)
{
    Scratch dir;
    std::string path = dir.file("module.zip");
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(static_cast<size_t>(state.range(0)), 'm');
    }
    kav::KavFileCache cache;
    for (auto _ : state) {
        ACE_Message_Block* block = nullptr;
        cache.readFile(path, block);
        block->release();
        cache.closeFile(path);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Upload pieces appended to a file, as a consumer upload writes them.
void BM_AppendPieces(benchmark::State& state)
{
    Scratch dir;
    std::string path = dir.file("upload.tmp");
    ACE_Message_Block piece(static_cast<size_t>(state.range(0)));
    piece.wr_ptr(static_cast<size_t>(state.range(0)));
    std::memset(piece.rd_ptr(), 'p', piece.length());
    int64_t written = 0;
    for (auto _ : state) {
        if (written >= (256 << 20)) {
            state.PauseTiming();
            rsmanagerutils::createFile(path, ACE_Message_Block(), O_TRUNC);
            written = 0;
            state.ResumeTiming();
        }
        rsmanagerutils::createFile(path, piece, O_APPEND);
        written += state.range(0);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_IndexRead)->Arg(1000)->Arg(10000);
BENCHMARK(BM_IndexLookupLast)->Arg(1000)->Arg(10000);
BENCHMARK(BM_IndexListAll)->Arg(1000)->Arg(10000);
BENCHMARK(BM_IndexUpdateAndWrite)->Arg(1000)->Arg(10000);
BENCHMARK(BM_CacheHit)->Arg(64 << 10)->Arg(64 << 20);
BENCHMARK(BM_CacheMiss)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendPieces)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
