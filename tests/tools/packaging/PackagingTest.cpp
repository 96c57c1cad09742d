// The systemd unit as `make install` writes it for a prefix, and the
// settings example that goes with it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "rs-packaging-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs the install step that writes the unit; returns the unit's path.
fs::path installUnit(const std::string& prefix, const fs::path& destdir)
{
    const fs::path source(RS_TEST_SOURCE_DIR);
    const std::string command = "DESTDIR=" + quoted(destdir.string()) + " " + quoted(RS_TEST_CMAKE)
        + " -DRS_UNIT_TEMPLATE=" + quoted((source / "packaging/rs.service.in").string())
        + " -DCMAKE_INSTALL_PREFIX=" + quoted(prefix) + " -P "
        + quoted((source / "packaging/InstallUnit.cmake").string()) + " > /dev/null";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    return destdir / fs::path(prefix).relative_path() / "lib/systemd/system/rs.service";
}

// The value of the one `key=` line of a unit.
std::string value(const std::string& unit, const std::string& key)
{
    std::vector<std::string> found;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + "=", 0) == 0)
            found.push_back(line.substr(key.size() + 1));
    EXPECT_EQ(found.size(), 1u) << key;
    return found.empty() ? "" : found.front();
}

TEST(SystemdUnitTest, PathsFollowThePrefixAndConfigurationGoesToEtc)
{
    struct Row {
        std::string prefix, confDir;
    };
    // The system prefixes (the default one included) keep their settings where
    // the operations guide and systemd's ConfigurationDirectory= put them.
    for (const Row& row :
        { Row { "/usr", "/etc/rs" }, Row { "/usr/local", "/etc/rs" }, Row { "/opt/rs", "/opt/rs/etc/rs" } }) {
        TempDir dest;
        const std::string unit = readFile(installUnit(row.prefix, dest.path()));
        ASSERT_FALSE(unit.empty()) << row.prefix;
        EXPECT_EQ(value(unit, "ExecStart"), row.prefix + "/bin/rs");
        EXPECT_EQ(value(unit, "EnvironmentFile"), row.confDir + "/rs.env");
        // Without its settings the unit refuses to start, once, instead of failing in a loop.
        EXPECT_EQ(value(unit, "AssertPathExists"), row.confDir + "/rs.env");
        EXPECT_EQ(value(unit, "Documentation"), "file:" + row.prefix + "/share/doc/rs/operations.md");
        EXPECT_EQ(unit.find("@RS_"), std::string::npos) << "every placeholder is replaced:\n" << unit;
    }
}

TEST(SystemdUnitTest, SystemdAcceptsTheUnit)
{
    if (::access("/usr/bin/systemd-analyze", X_OK) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // Installed into the temporary directory itself, so that the program it
    // names exists for the check.
    TempDir dest;
    const std::string prefix = (dest.path() / "prefix").string();
    const fs::path unit = installUnit(prefix, "/");
    fs::create_directories(fs::path(prefix) / "bin");
    std::ofstream(fs::path(prefix) / "bin/rs") << "#!/bin/sh\n";
    fs::permissions(fs::path(prefix) / "bin/rs", fs::perms::owner_all);
    const fs::path output = dest.path() / "verify.txt";
    const std::string command = "/usr/bin/systemd-analyze verify " + quoted(unit.string()) + " > "
        + quoted(output.string()) + " 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << readFile(output);
    EXPECT_EQ(readFile(output).find("rs.service"), std::string::npos) << readFile(output);
}

class InstallTreeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dest_ = new TempDir;
        const fs::path log = dest_->path() / "install.txt";
        const std::string command = "DESTDIR=" + quoted((dest_->path() / "root").string()) + " "
            + quoted(RS_TEST_CMAKE) + " --install " + quoted(RS_TEST_BUILD_DIR) + " --prefix /usr > "
            + quoted(log.string()) + " 2>&1";
        const int status = std::system(command.c_str());
        installed_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!installed_)
            std::cerr << readFile(log);
    }
    static void TearDownTestSuite() { delete dest_; }
    void SetUp() override { ASSERT_TRUE(installed_) << "make install failed"; }
    static fs::path usr() { return dest_->path() / "root/usr"; }

    static inline TempDir* dest_ = nullptr;
    static inline bool installed_ = false;
};

// One test for the installed tree: every process of it installs the whole build again.
TEST_F(InstallTreeTest, EverythingTheServiceNeedsIsInstalledAndStripped)
{
    const char* files[] = { "bin/rs", "bin/rsadmin", "bin/rsdeploy", "bin/rspasswd", "lib/libzor.so",
        "lib/rs/sec_passwd.so", "lib/rs/event_file.so", "lib/rs/event_syslog.so",
        "share/rs/narv_resources.dat", "lib/systemd/system/rs.service", "share/doc/rs/rs.env.example",
        "share/doc/rs/rs.log4j.properties", "share/doc/rs/operations.md",
        "share/doc/rs/examples/hello/rs-install.sh", "share/man/man1/rsadmin.1",
        "share/bash-completion/completions/rsadmin" };
    for (const char* file : files)
        EXPECT_TRUE(fs::exists(usr() / file)) << file;
    // The installed daemon loads its libraries from the installed tree.
    const std::string version = quoted((usr() / "bin/rs").string()) + " -V > /dev/null 2>&1";
    const int versionStatus = std::system(version.c_str());
    EXPECT_TRUE(WIFEXITED(versionStatus) && WEXITSTATUS(versionStatus) == 0);

    // Programs are stripped, their debug information beside them.
    for (const char* file : { "bin/rs", "lib/libzor.so", "lib/rs/sec_passwd.so" }) {
        const fs::path path = usr() / file;
        EXPECT_EQ(readFile(path).find(".debug_info"), std::string::npos)
            << file << " carries debug information";
        const fs::path debug = path.parent_path() / ".debug" / (path.filename().string() + ".debug");
        EXPECT_NE(readFile(debug).find(".debug_info"), std::string::npos) << debug;
    }
}

} // namespace
