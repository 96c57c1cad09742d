// A module's life through the real daemon: uploaded in pieces, listed,
// fetched, replaced, linked, refused removal while linked, removed, and
// uploaded again; each change and each refusal leaves one audit line.

#include "e2e/E2eSupport.h"

#include "common/ResultCodes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

namespace rs::e2e {
namespace {

namespace fs = std::filesystem;
using kav::rc::code;

int32_t link(rsclient::Client& repository, const std::string& module, bool on)
{
    return repository.call<IRepository::linkModuleApplication_Call>(kAnswerWait, "shop", module, on ? 1 : 0)
        .code();
}

TEST(ModuleJourney, UploadListGetLinkRemoveAndUploadAgain)
{
    ServingDaemon daemon;
    const fs::path audits = daemon.cluster.root() / "audits";
    fs::create_directories(audits);
    ASSERT_TRUE(
        daemon.start({ .env = { { "RS_AUDIT_LOG", "on" }, { "QEL_AUDIT_LOGDIR", audits.string() } } }))
        << daemon.failure;
    auto admin = loggedOn(daemon.port, kRepository);
    ASSERT_TRUE(admin);

    const std::string first = patternBytes(5 * 40000 + 123, 1);
    ASSERT_EQ(upload(*admin, "web", "web.zip", first, 40000).version, "1");
    auto record = listed(*admin, "web");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->version, "1");
    EXPECT_EQ(record->fileName, "web.zip");
    EXPECT_EQ(record->fileSize, first.size());
    EXPECT_EQ(record->owner, kAdminUser);
    Fetched got = fetch(*admin, "web", "1");
    ASSERT_EQ(got.code, 0);
    EXPECT_TRUE(got.contents == first);

    // A replacement is served at once, though the old file was just read.
    ASSERT_EQ(upload(*admin, "web", "web.zip", "second", 40000).version, "2");
    EXPECT_EQ(fetch(*admin, "web", "2").contents, "second");

    ASSERT_EQ(link(*admin, "web", true), 0);
    EXPECT_EQ(listed(*admin, "web")->linkedApps, std::vector<std::string> { "shop" });
    EXPECT_EQ(admin->call<IRepository::removeModule_Call>(kAnswerWait, "web").code(), code(0xD0014C1F));
    EXPECT_EQ(fetch(*admin, "web", "2").contents, "second");
    ASSERT_EQ(link(*admin, "web", false), 0);
    ASSERT_EQ(admin->call<IRepository::removeModule_Call>(kAnswerWait, "web").code(), 0);
    record = listed(*admin, "web");
    EXPECT_TRUE(!record || record->deleted);
    EXPECT_NE(fetch(*admin, "web", "2").code, 0);

    ASSERT_EQ(upload(*admin, "web", "web.zip", "third", 40000).version, "3")
        << "versions go on after a removal";
    EXPECT_TRUE(listed(*admin, "web")->linkedApps.empty());
    // A refused name holding a line break must not forge a record of its own.
    EXPECT_EQ(upload(*admin, "a\nforged record", "f.bin", "x", 40000).code, code(0xD0014C60));

    // Three uploads, a refused removal, a removal and a refused upload.
    std::ifstream in(audits / "repositoryservice.audit.log");
    const std::regex line(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+ .+)");
    int lines = 0;
    for (std::string text; std::getline(in, text); ++lines) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        EXPECT_TRUE(text.find(kAdminUser) != std::string::npos || text.ends_with(" ERROR")) << text;
    }
    EXPECT_EQ(lines, 6);
    EXPECT_EQ(daemon.process.stop(), 0);
}

} // namespace
} // namespace rs::e2e
