#pragma once
// Points the catalogue at the data built in this build tree and opens it
// for the root locale around each test.

#include "rs/i18n/NarvI18n.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kav::test {

inline void useBuiltCatalogue()
{
    if (const char* buildDir = std::getenv("RS_BUILD_DIR"))
        setenv(NarvI18n::kDataEnvVariable, (std::string(buildDir) + "/share/rs").c_str(), 1);
}

class CatalogueTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useBuiltCatalogue(); }

    void SetUp() override
    {
        clearErrorInfo();
        ASSERT_EQ(NarvI18n::instance().init("root"), 0) << "catalogue data: " << NarvI18n::locateDataFile();
    }

    void TearDown() override
    {
        NarvI18n::instance().cleanup();
        clearErrorInfo();
    }

    static std::string text(uint32_t number, const Params& params = {})
    {
        std::string out;
        EXPECT_EQ(NarvI18n::instance().i18n(number, params, out), 0) << number;
        return out;
    }
};

} // namespace kav::test
