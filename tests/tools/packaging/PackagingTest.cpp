// The systemd unit as `make install` writes it for a prefix, and the
// settings example that goes with it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
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

// The values of `key=` lines of a unit, in order.
std::vector<std::string> values(const std::string& unit, const std::string& key)
{
    std::vector<std::string> found;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + "=", 0) == 0)
            found.push_back(line.substr(key.size() + 1));
    return found;
}

std::string value(const std::string& unit, const std::string& key)
{
    const auto found = values(unit, key);
    EXPECT_EQ(found.size(), 1u) << key;
    return found.empty() ? "" : found.front();
}

TEST(SystemdUnitTest, PathsFollowThePrefixAndConfigurationGoesToEtc)
{
    TempDir dest;
    const std::string system = readFile(installUnit("/usr", dest.path()));
    ASSERT_FALSE(system.empty());
    EXPECT_EQ(value(system, "ExecStart"), "/usr/bin/rs");
    EXPECT_EQ(value(system, "EnvironmentFile"), "-/etc/rs/rs.env");
    EXPECT_EQ(value(system, "Documentation"), "file:/usr/share/doc/rs/operations.md");

    const std::string opt = readFile(installUnit("/opt/rs", dest.path()));
    EXPECT_EQ(value(opt, "ExecStart"), "/opt/rs/bin/rs");
    EXPECT_EQ(value(opt, "EnvironmentFile"), "-/opt/rs/etc/rs/rs.env");
    for (const std::string* unit : { &system, &opt })
        EXPECT_EQ(unit->find("@RS_"), std::string::npos) << "every placeholder is replaced:\n" << *unit;
}

TEST(SystemdUnitTest, ServiceRunsUnprivilegedAndConfined)
{
    TempDir dest;
    const std::string unit = readFile(installUnit("/usr", dest.path()));
    EXPECT_EQ(value(unit, "User"), "rs");
    EXPECT_EQ(value(unit, "CapabilityBoundingSet"), "");
    EXPECT_EQ(value(unit, "AmbientCapabilities"), "");
    const std::pair<const char*, const char*> settings[] = { { "NoNewPrivileges", "yes" },
        { "ProtectSystem", "strict" }, { "ProtectHome", "yes" }, { "PrivateTmp", "yes" },
        { "PrivateDevices", "yes" }, { "RestrictSUIDSGID", "yes" }, { "MemoryDenyWriteExecute", "yes" },
        { "UMask", "0027" }, { "StateDirectory", "rs rs/logs" }, { "LogsDirectory", "rs" } };
    for (const auto& [key, expected] : settings)
        EXPECT_EQ(value(unit, key), expected) << key;
    // What the service writes must be inside the directories systemd makes writable for it.
    EXPECT_EQ(values(unit, "Environment"),
        (std::vector<std::string> {
            "NARV_HOME=/var/lib/rs", "RS_STORAGE_DIR=/var/lib/rs/store", "QEL_AUDIT_LOGDIR=/var/log/rs" }));
    // The service raises its own descriptor limit: setrlimit must stay allowed.
    for (const auto& filter : values(unit, "SystemCallFilter"))
        EXPECT_EQ(filter.find("@resources"), std::string::npos) << filter;
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

TEST(InstallTreeTest, InstalledProgramsRunFromTheirOwnTree)
{
    TempDir dest;
    const fs::path log = dest.path() / "install.txt";
    const std::string command = "DESTDIR=" + quoted((dest.path() / "root").string()) + " "
        + quoted(RS_TEST_CMAKE) + " --install " + quoted(RS_TEST_BUILD_DIR) + " --prefix /usr > "
        + quoted(log.string()) + " 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << readFile(log);
    const fs::path usr = dest.path() / "root/usr";
    for (const char* file :
        { "bin/rs", "bin/rsadmin", "bin/rsdeploy", "bin/rspasswd", "lib/libzor.so", "lib/sec_passwd.so",
            "share/rs/narv_resources.dat", "lib/systemd/system/rs.service", "share/doc/rs/operations.md",
            "share/doc/rs/rs.env.example", "share/doc/rs/examples/hello/rs-install.sh" })
        EXPECT_TRUE(fs::exists(usr / file)) << file;
    // The installed daemon loads its libraries from the installed tree.
    const std::string version = quoted((usr / "bin/rs").string()) + " -V > /dev/null 2>&1";
    const int versionStatus = std::system(version.c_str());
    EXPECT_TRUE(WIFEXITED(versionStatus) && WEXITSTATUS(versionStatus) == 0);
}

TEST(SettingsExampleTest, EveryVariableIsDocumented)
{
    const fs::path source(RS_TEST_SOURCE_DIR);
    const std::string example = readFile(source / "packaging/rs.env.example");
    const std::string guide = readFile(source / "docs/operations.md");
    static const std::regex assignment(R"(^#?([A-Z][A-Z0-9_]+)=)", std::regex::multiline);
    std::set<std::string> names;
    for (std::sregex_iterator at(example.begin(), example.end(), assignment), end; at != end; ++at)
        names.insert((*at)[1]);
    EXPECT_GE(names.size(), 5u);
    EXPECT_TRUE(names.count("REPOSITORY_SERVICE_PORT"));
    for (const auto& name : names)
        EXPECT_NE(guide.find("`" + name + "`"), std::string::npos) << name << " is not in docs/operations.md";
}

} // namespace
