#include "rs/deployment/operations/PackageStore.h"
#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/dplfileutils.h"
#include "support/FakeServiceContext.h"

#include <ace/Message_Block.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using rs::PackageStore;

namespace {

int32_t thrownCode(const std::function<void()>& body)
{
    int32_t code = KAV_GUARDED(body);
    kav::clearErrorInfo();
    return code;
}

class PackageStoreTest : public ::testing::Test {
protected:
    void store(const std::string& stored, const std::string& file, const std::string& bytes, int32_t flag)
    {
        ACE_Message_Block piece(bytes.size() + 1);
        piece.copy(bytes.data(), bytes.size());
        store_.storePiece(stored, file, piece, flag, "admin", sender_);
    }

    rs::test::FakeServiceContext context_;
    PackageStore store_ { context_ };
    const rs::modules::UploadSender sender_ { std::make_shared<rs::modules::ConnectionUploads>(),
        [] { return uint64_t { 0 }; } };
};

TEST_F(PackageStoreTest, StoredNameCarriesTheHostTypeAndRefusesPaths)
{
    EXPECT_EQ(PackageStore::storedName("web", ""), "web");
    EXPECT_EQ(PackageStore::storedName("web", "linux"), "web.type_linux");
    EXPECT_EQ(thrownCode([] { PackageStore::storedName("../web", ""); }), kav::rc::RS_BAD_NAME);
    EXPECT_EQ(thrownCode([] { PackageStore::storedName("web", "a/b"); }), kav::rc::RS_BAD_NAME);
}

// As for a module, the file served is the one the package directory holds,
// whatever the index names; each of the two look-ups has its own code.
TEST_F(PackageStoreTest, ReadServesTheFileTheDirectoryHoldsAndNamesEachFailure)
{
    store("web.type_linux", "w.tar", "contents", 1);
    fs::rename(
        store_.packageDir("web.type_linux") + "/w.tar", store_.packageDir("web.type_linux") + "/renamed.tar");
    rs::AppDplEntry record;
    ACE_Message_Block* data = nullptr;
    store_.read("web.type_linux", "/c", record, data);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data->rd_ptr(), data->length()), "contents");
    data->release();
    EXPECT_EQ(record.fileName, "renamed.tar");
    EXPECT_EQ(record.packageType, "linux");
    EXPECT_EQ(thrownCode([&] { store_.read("web", "/c", record, data); }), kav::rc::RS_NO_SUCH_PACKAGE);

    store("unread", "u.tar", "bytes", 1);
    rsmanagerutils::IoCalls calls = rsmanagerutils::posixIoCalls();
    // Reads of the package file fail; the index stays readable.
    calls.read = [](int fd, void* buffer, size_t count) -> ssize_t {
        const fs::path file = fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
        return file.filename() == "u.tar" ? (errno = EIO, -1) : ::read(fd, buffer, count);
    };
    const rsmanagerutils::IoCalls previous = rsmanagerutils::setIoCalls(calls);
    const int32_t unreadable = thrownCode([&] { store_.read("unread", "/c", record, data); });
    rsmanagerutils::setIoCalls(previous);
    EXPECT_EQ(unreadable, kav::rc::RS_FILE_READ_FAILED);

    fs::remove(store_.packageDir("web.type_linux") + "/renamed.tar");
    EXPECT_EQ(
        thrownCode([&] { store_.read("web.type_linux", "/c", record, data); }), kav::rc::RS_NO_MODULE_FILE);
}

TEST_F(PackageStoreTest, RemoveMarksTheEntryDeletedOnceAndTheNextAddCountsOn)
{
    store("web", "w.tar", "u", 1);
    store("web", "w.tar", "v", 1);
    store_.remove("web");
    EXPECT_FALSE(store_.contains("web"));
    EXPECT_TRUE(store_.list("").entries.empty());
    EXPECT_FALSE(fs::exists(store_.packageDir("web")));
    kav::ModuleIndexEntry entry;
    ASSERT_EQ(kav::IndexFile(store_.indexDir()).getServiceEntryByName("web", entry), 0)
        << "a tombstone stays";
    EXPECT_TRUE(entry.deleted);
    EXPECT_EQ(entry.version, "2");
    EXPECT_EQ(thrownCode([&] { store_.remove("web"); }), kav::rc::RS_NO_SUCH_PACKAGE);

    store("web", "w.tar", "w", 1);
    ASSERT_EQ(kav::IndexFile(store_.indexDir()).getServiceEntryByName("web", entry), 0);
    EXPECT_FALSE(entry.deleted);
    EXPECT_EQ(entry.version, "3");
    EXPECT_TRUE(store_.contains("web"));
}

// Packages are stored as a consumer's modules are: a name differing only in
// letter case is refused, links survive a new upload and block the removal,
// and a directory already gone is reported although the entry is removed.
TEST_F(PackageStoreTest, PackagesKeepTheModuleRulesOfCaseLinksAndRemoval)
{
    store("web", "w.tar", "u", 1);
    EXPECT_EQ(thrownCode([&] { store("Web", "w.tar", "x", 0); }), kav::rc::RS_NAME_CASE_CLASH);
    EXPECT_FALSE(fs::exists(store_.packageDir("Web")));

    const auto setLinks = [&](std::vector<std::string> apps) {
        kav::IndexFile index(store_.indexDir());
        kav::ModuleIndexEntry entry;
        ASSERT_EQ(index.getServiceEntryByName("web", entry), 0);
        entry.linkCount = static_cast<int32_t>(apps.size());
        entry.linkedApps = std::move(apps);
        index.addServiceEntry(entry);
        ASSERT_EQ(index.writeServiceFile(), 0);
    };
    setLinks({ "shop" });
    store("web", "w.tar", "v", 1);
    kav::ModuleIndexEntry entry;
    ASSERT_EQ(kav::IndexFile(store_.indexDir()).getServiceEntryByName("web", entry), 0);
    EXPECT_EQ(entry.version, "2");
    EXPECT_EQ(entry.linkedApps, std::vector<std::string> { "shop" });
    EXPECT_EQ(thrownCode([&] { store_.remove("web"); }), kav::rc::RS_MODULE_LINKED);
    EXPECT_TRUE(store_.contains("web"));

    setLinks({});
    fs::remove_all(store_.packageDir("web"));
    EXPECT_EQ(thrownCode([&] { store_.remove("web"); }), kav::rc::RS_NO_SUCH_MODULE);
    EXPECT_FALSE(store_.contains("web"));
}

} // namespace
