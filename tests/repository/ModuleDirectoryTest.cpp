#include "rs/repository/ModuleDirectory.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/repository/dplfileutils.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

namespace rs::modules {
namespace {

namespace fs = std::filesystem;

class ModuleDirectory : public ::testing::Test {
protected:
    void write(const fs::path& relative, const std::string& text)
    {
        fs::create_directories((dir_.path() / relative).parent_path());
        rs::test::writeFile((dir_.path() / relative).string(), text);
    }
    std::string path(const std::string& relative) const { return (dir_.path() / relative).string(); }

    rs::test::ScratchDir dir_;
};

// A module directory that is also a consumer's is refused like a hostile
// name: storing a global module there would delete the index, removing the
// module the consumer's whole tree.
TEST_F(ModuleDirectory, AConsumersDirectoryIsNoModuleDirectory)
{
    write(".global/.index", "web|1|w.tar|0|admin|0|1|0\n");
    write("apps/web/.index", "");
    write("calc/calc.zip", "x");
    write("deep/a/b/.index", "");
    write("deep/a/b/m/m.bin", "x");
    const std::tuple<const char*, int32_t> rows[] = {
        { ".global", kav::rc::RS_BAD_NAME },
        { "apps", kav::rc::RS_BAD_NAME },
        { "apps/web", kav::rc::RS_BAD_NAME },
        { "deep", kav::rc::RS_BAD_NAME },
        { "calc", kav::rc::OK },
        { "deep/a/b/m", kav::rc::OK },
        { "never", kav::rc::OK },
    };
    for (const auto& [module, expected] : rows) {
        const int32_t result = KAV_GUARDED([&] {
            refuseConsumerDirectory("moduleName", module, dir_.path().string(), path(module));
            return 0;
        });
        auto error = kav::takeErrorInfo();
        EXPECT_EQ(result, expected) << module;
        if (expected != kav::rc::OK && error) {
            EXPECT_EQ(error->getParams().at(1), module);
        }
    }
}

} // namespace
} // namespace rs::modules
