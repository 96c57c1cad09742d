#include "rs/repository/recovery/RepositoryRecovery.h"

#include "repository/StorageTestSupport.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/operations/FileReplacement.h"
#include "rs/repository/recovery/KeptFile.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>

namespace kav {
namespace {

namespace fs = std::filesystem;
using storagetest::readFile;
using storagetest::writeFile;

constexpr const char* kModule = "calc";
constexpr const char* kFile = "calc.zip";
constexpr const char* kPartial = "half an upload";

// Contents of a module file at a version: the test knows which version's
// contents each file holds by its text alone.
std::string contentsOf(int version)
{
    return "contents of version " + std::to_string(version);
}

class RecoveryTest : public ::testing::Test {
protected:
    // Index directory REPO/apps, module directory REPO/apps/calc.
    fs::path indexDir() const { return root_.path() / "apps"; }
    fs::path moduleDir() const { return indexDir() / kModule; }
    fs::path served() const { return moduleDir() / kFile; }
    fs::path recordFile(KeptFile::Kind kind, int version) const
    {
        return moduleDir() / KeptFile::directoryName(kind, std::to_string(version)) / kFile;
    }

    // The index as a completed upload of that version leaves it (0: no entry).
    void recordVersion(int version, const std::string& fileName = kFile)
    {
        fs::create_directories(indexDir());
        IndexFile index(indexDir().string());
        if (version > 0)
            index.addServiceEntry(kModule, std::to_string(version), fileName, 100, "admin", false, 1, 0);
        ASSERT_EQ(index.writeServiceFile(), 0);
    }
    void storeFile(const fs::path& path, const std::string& bytes)
    {
        fs::create_directories(path.parent_path());
        writeFile(path.string(), bytes);
    }
    RepositoryRecovery::Summary recover() { return RepositoryRecovery(root_.path().string()).run(); }
    // Nothing of the recovery's own is left in the module directory.
    void expectNoRecords() const
    {
        for (auto& entry : fs::directory_iterator(moduleDir()))
            EXPECT_FALSE(KeptFile::parseDirectoryName(entry.path().filename().string())) << entry.path();
    }

    storagetest::ScratchDir root_;
};

// --- Every crash state of one replacement -------------------------------------

// What was on disk when the daemon died during the upload of version 4 over
// version 3 of calc.zip (or of version 1 when the module was new).
enum class Record {
    None, // the replacement had not begun, or was already cleaned up
    KeptBeforeMove, // old contents kept, the upload not moved yet
    KeptAfterMove, // old contents kept, the new file in place
    CreatedAfterMove, // first upload of the module, moved into place
};

enum class IndexAt { Old, New };

struct CrashState {
    Record record;
    IndexAt index;
    bool uploadLeft;
};

std::ostream& operator<<(std::ostream& out, const CrashState& state)
{
    static const char* records[] = { "None", "KeptBeforeMove", "KeptAfterMove", "CreatedAfterMove" };
    return out << records[static_cast<int>(state.record)]
               << (state.index == IndexAt::Old ? "_IndexOld" : "_IndexNew")
               << (state.uploadLeft ? "_UploadLeft" : "_NoUpload");
}

class CrashStateTest : public RecoveryTest, public ::testing::WithParamInterface<CrashState> {
protected:
    bool firstUpload() const { return GetParam().record == Record::CreatedAfterMove; }
    int oldVersion() const { return firstUpload() ? 0 : 3; }
    int newVersion() const { return oldVersion() + 1; }
    // The version whose contents sit at the served path when the daemon died.
    bool newFileInPlace() const
    {
        const CrashState& state = GetParam();
        return state.record == Record::KeptAfterMove || state.record == Record::CreatedAfterMove
            || (state.record == Record::None && state.index == IndexAt::New);
    }

    void buildCrashState()
    {
        const CrashState& state = GetParam();
        recordVersion(state.index == IndexAt::Old ? oldVersion() : newVersion());
        fs::create_directories(moduleDir());
        if (newFileInPlace())
            storeFile(served(), contentsOf(newVersion()));
        else if (!firstUpload())
            storeFile(served(), contentsOf(oldVersion()));
        if (state.record == Record::KeptBeforeMove) {
            fs::create_directories(recordFile(KeptFile::Kind::Replaced, 3).parent_path());
            fs::create_hard_link(served(), recordFile(KeptFile::Kind::Replaced, 3));
        } else if (state.record == Record::KeptAfterMove) {
            storeFile(recordFile(KeptFile::Kind::Replaced, 3), contentsOf(3));
        } else if (state.record == Record::CreatedAfterMove) {
            storeFile(recordFile(KeptFile::Kind::Created, 0), "");
        }
        if (state.uploadLeft)
            storeFile(moduleDir() / (std::string(kFile) + ".tmp"), kPartial);
    }
};

TEST_P(CrashStateTest, ServesTheIndexedVersionWithItsContents)
{
    buildCrashState();
    RepositoryRecovery::Summary summary = recover();
    EXPECT_EQ(summary.failures, 0);

    const int indexed = GetParam().index == IndexAt::Old ? oldVersion() : newVersion();
    if (indexed == 0)
        EXPECT_FALSE(fs::exists(served())) << "an unrecorded first upload is still there";
    else
        EXPECT_EQ(readFile(served().string()), contentsOf(indexed));
    EXPECT_FALSE(fs::exists(moduleDir() / (std::string(kFile) + ".tmp")));
    expectNoRecords();
    EXPECT_EQ(summary.uploadsRemoved, GetParam().uploadLeft ? 1 : 0);

    RepositoryRecovery::Summary again = recover();
    EXPECT_EQ(again.restored + again.dropped + again.uploadsRemoved + again.failures, 0)
        << "a second run finds nothing to do";
}

std::vector<CrashState> allCrashStates()
{
    std::vector<CrashState> states;
    for (Record record :
        { Record::None, Record::KeptBeforeMove, Record::KeptAfterMove, Record::CreatedAfterMove })
        for (IndexAt index : { IndexAt::Old, IndexAt::New })
            for (bool upload : { false, true }) {
                // The index is written only once the new file is in place.
                if (record != Record::KeptBeforeMove || index != IndexAt::New)
                    states.push_back({ record, index, upload });
            }
    return states;
}

INSTANTIATE_TEST_SUITE_P(EveryCombination, CrashStateTest, ::testing::ValuesIn(allCrashStates()),
    [](const ::testing::TestParamInfo<CrashState>& info) {
        std::ostringstream name;
        name << info.param;
        return name.str();
    });

// --- What the sweep removes and what it leaves alone --------------------------

// A crash between recording version 4 under a new file name and removing
// version 3's file leaves both; only the recorded one may be found. Records
// of any other version and empty record directories go, and so do
// interrupted index writes anywhere.
TEST_F(RecoveryTest, LeftoversOfEarlierVersionsAndIndexWritesAreRemoved)
{
    recordVersion(4, "calc-4.zip");
    storeFile(moduleDir() / "calc-4.zip", contentsOf(4));
    storeFile(served(), contentsOf(3));
    storeFile(moduleDir() / ".index", "a consumer's index sharing the directory");
    storeFile(recordFile(KeptFile::Kind::Replaced, 2), contentsOf(2));
    fs::create_directories(recordFile(KeptFile::Kind::Replaced, 1).parent_path());
    storeFile(root_.path() / ".index.tmp", "half");
    storeFile(indexDir() / ".index.tmp", "half");
    RepositoryRecovery::Summary summary = recover();
    EXPECT_EQ(summary.earlierFilesRemoved, 1);
    EXPECT_EQ(summary.uploadsRemoved, 2);
    EXPECT_FALSE(fs::exists(served()));
    EXPECT_EQ(readFile((moduleDir() / "calc-4.zip").string()), contentsOf(4));
    EXPECT_TRUE(fs::exists(moduleDir() / ".index"));
    expectNoRecords();
    EXPECT_FALSE(fs::exists(root_.path() / ".index.tmp"));
    EXPECT_FALSE(fs::exists(indexDir() / ".index.tmp"));
    EXPECT_TRUE(fs::exists(indexDir() / ".index"));

    // Without the recorded file nothing goes: what is there is all there is.
    fs::remove(moduleDir() / "calc-4.zip");
    storeFile(served(), contentsOf(3));
    EXPECT_EQ(recover().earlierFilesRemoved, 0);
    EXPECT_TRUE(fs::exists(served()));
}

// What only looks like a leftover is the user's: a stored file named like an
// upload, the file of a removed module, files outside module directories,
// whatever a symbolic link leads to.
TEST_F(RecoveryTest, FilesThatOnlyLookLikeLeftoversAreKept)
{
    fs::create_directories(indexDir());
    IndexFile index(indexDir().string());
    index.addServiceEntry(kModule, "2", "notes.tmp", 100, "admin", false, 1, 0);
    index.addServiceEntry("gone", "5", "old.tmp", 100, "admin", true, 1, 0);
    ASSERT_EQ(index.writeServiceFile(), 0);
    storeFile(moduleDir() / "notes.tmp", "the user's own file");
    storeFile(moduleDir() / "other.bin.tmp", kPartial);
    storeFile(indexDir() / "gone" / "old.tmp", "left by a failed removal");
    storeFile(root_.path() / "notes.tmp", "beside the repository's own files");
    storeFile(root_.path() / ".persist", "pkg|0");
    storagetest::ScratchDir outside;
    storeFile(outside.path() / "m" / "x.tmp", "not ours");
    fs::create_directory_symlink(outside.path() / "m", indexDir() / "linked");
    recover();
    EXPECT_EQ(readFile((moduleDir() / "notes.tmp").string()), "the user's own file");
    EXPECT_FALSE(fs::exists(moduleDir() / "other.bin.tmp"));
    for (const fs::path& kept : { indexDir() / "gone" / "old.tmp", root_.path() / "notes.tmp",
             root_.path() / ".persist", outside.path() / "m" / "x.tmp" })
        EXPECT_TRUE(fs::exists(kept)) << kept;
}

// Without its index nothing in a module directory can be told from a user's file.
TEST_F(RecoveryTest, UnreadableIndexLeavesTheModuleDirectoryAlone)
{
    fs::create_directories(indexDir());
    fs::create_symlink(".index", indexDir() / ".index"); // a loop: open fails with ELOOP
    storeFile(moduleDir() / "calc.zip.tmp", kPartial);
    storeFile(recordFile(KeptFile::Kind::Replaced, 3), contentsOf(3));
    storeFile(served(), contentsOf(4));
    RepositoryRecovery::Summary summary = recover();
    EXPECT_GE(summary.failures, 1);
    EXPECT_TRUE(fs::exists(moduleDir() / "calc.zip.tmp"));
    EXPECT_EQ(readFile(served().string()), contentsOf(4));
    EXPECT_TRUE(fs::exists(recordFile(KeptFile::Kind::Replaced, 3)));
}

TEST_F(RecoveryTest, GlobalNestedConsumerAndPackageDirectoriesAreRecovered)
{
    const fs::path globalIndex = root_.path();
    const fs::path nestedIndex = root_.path() / "a" / "b";
    const fs::path packageIndex = root_.path() / ".global";
    for (const fs::path& dir : { globalIndex, nestedIndex, packageIndex }) {
        fs::create_directories(dir);
        IndexFile index(dir.string());
        index.addServiceEntry(kModule, "3", kFile, 100, "admin", false, 1, 0);
        ASSERT_EQ(index.writeServiceFile(), 0);
        storeFile(dir / kModule / kFile, contentsOf(4));
        storeFile(
            dir / kModule / KeptFile::directoryName(KeptFile::Kind::Replaced, "3") / kFile, contentsOf(3));
    }
    RepositoryRecovery::Summary summary = recover();
    EXPECT_EQ(summary.restored, 3);
    for (const fs::path& dir : { globalIndex, nestedIndex, packageIndex })
        EXPECT_EQ(readFile((dir / kModule / kFile).string()), contentsOf(3)) << dir;
}

// --- A replacement cut short by the death of its process ----------------------------

enum class DiesAfter { Apply, IndexWrite };

class InterruptedReplacementTest : public RecoveryTest, public ::testing::WithParamInterface<DiesAfter> {
protected:
    // Uploads version 4 over version 3 in a child process that ends without
    // running any destructor, as a killed daemon would.
    void replaceInADyingProcess(DiesAfter diesAfter)
    {
        const std::string upload = (moduleDir() / (std::string(kFile) + ".tmp")).string();
        storeFile(upload, contentsOf(4));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            IndexFile index(indexDir().string());
            // _exit leaves the replacement's destructor unrun.
            rs::modules::FileReplacement replacement(upload, served().string(), "3");
            if (replacement.apply() != 0)
                ::_exit(2);
            if (diesAfter == DiesAfter::IndexWrite) {
                index.addServiceEntry(kModule, "4", kFile, 200, "admin", false, 1, 0);
                if (index.writeServiceFile() != 0)
                    ::_exit(3);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0);
    }
};

TEST_P(InterruptedReplacementTest, RestartServesWhatTheIndexRecords)
{
    recordVersion(3);
    storeFile(served(), contentsOf(3));
    replaceInADyingProcess(GetParam());

    recover();
    const std::string indexed = IndexFile(indexDir().string()).getVersionByName(kModule);
    EXPECT_EQ(indexed, GetParam() == DiesAfter::Apply ? "3" : "4");
    EXPECT_EQ(readFile(served().string()), contentsOf(std::stoi(indexed)));
    expectNoRecords();
}

INSTANTIATE_TEST_SUITE_P(Death, InterruptedReplacementTest,
    ::testing::Values(DiesAfter::Apply, DiesAfter::IndexWrite),
    [](const ::testing::TestParamInfo<DiesAfter>& info) {
        return std::string(info.param == DiesAfter::Apply ? "AfterTheMove" : "AfterTheIndexWrite");
    });

} // namespace
} // namespace kav
