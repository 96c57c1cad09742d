// What a client pays to read a module list answer: decoding 100 and 10,000
// records (getModuleList's shape, names and sizes as the daemon sends them)
// from their wire bytes.

#include "interfaces/types/RepositoryAppList.h"

#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>
#include <benchmark/benchmark.h>

#include <string>

namespace {

rs::RepositoryAppList listOf(int64_t count)
{
    rs::RepositoryAppList list;
    for (int64_t i = 0; i < count; ++i) {
        rs::RepositoryAppEntry entry;
        entry.version = std::to_string(i % 7 + 1);
        entry.moduleName = "module" + std::to_string(i);
        if (i % 10 == 0)
            entry.linkedApps = { "app" + std::to_string(i) };
        entry.consumer = "/";
        entry.owner = "admin";
        entry.fileName = entry.moduleName + "_" + entry.version + ".zip";
        entry.fileSize = 4096;
        entry.addTime = 1700000000;
        list.append(std::move(entry));
    }
    return list;
}

void BM_DecodeModuleList(benchmark::State& state)
{
    ACE_OutputCDR out;
    if (!rs::writeRepositoryAppList(out, listOf(state.range(0)))) {
        state.SkipWithError("cannot encode the list");
        return;
    }
    // One contiguous, aligned block, as the channel hands a received payload over.
    ACE_Message_Block bytes(out.total_length() + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(&bytes);
    for (const ACE_Message_Block* block = out.begin(); block != nullptr; block = block->cont())
        bytes.copy(block->rd_ptr(), block->length());
    rs::RepositoryAppList decoded;
    for (auto _ : state) {
        ACE_InputCDR in(&bytes);
        if (!rs::readRepositoryAppList(in, decoded))
            state.SkipWithError("cannot decode the list");
        benchmark::DoNotOptimize(decoded.count());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeModuleList)->Arg(100)->Arg(10000);

} // namespace

BENCHMARK_MAIN();
