#include "rs/repository/operations/ModuleWorkSupport.h"

#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace rs::modules {
namespace {

namespace fs = std::filesystem;

// A listing on "/" walks every consumer's index below the repository, at any depth.
TEST(ConsumerWalk, FindsEveryIndexAtAnyDepth)
{
    test::ScratchDir dir;
    const auto write = [&](const fs::path& relative, const std::string& text) {
        fs::create_directories((dir.path() / relative).parent_path());
        test::writeFile((dir.path() / relative).string(), text);
    };
    write(".index", "");
    write("apps/web/.index", "");
    write("apps/web/calc/calc.zip", "x");
    write("apps/db/deeper/.index", "");
    write("empty/readme", "not an index");
    write("apps/.index.tmp", "a crash left it");
    std::vector<std::string> paths = consumerPaths(dir.path().string());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string> { "/", "/apps/db/deeper", "/apps/web" }));
    EXPECT_TRUE(consumerPaths((dir.path() / "missing").string()).empty());
}

} // namespace
} // namespace rs::modules
