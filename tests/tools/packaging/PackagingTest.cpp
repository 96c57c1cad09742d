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

TEST(SystemdUnitTest, ServiceRunsUnprivilegedAndConfined)
{
    TempDir dest;
    const std::string unit = readFile(installUnit("/usr", dest.path()));
    EXPECT_EQ(value(unit, "User"), "rs");
    EXPECT_EQ(value(unit, "CapabilityBoundingSet"), "");
    EXPECT_EQ(value(unit, "AmbientCapabilities"), "");
    const std::pair<const char*, const char*> settings[] = { { "Type", "notify" },
        { "NoNewPrivileges", "yes" }, { "ProtectSystem", "strict" }, { "ProtectHome", "yes" },
        { "PrivateTmp", "yes" }, { "PrivateDevices", "yes" }, { "RestrictSUIDSGID", "yes" },
        { "MemoryDenyWriteExecute", "yes" }, { "UMask", "0027" }, { "StateDirectory", "rs rs/conf rs/logs" },
        { "LogsDirectory", "rs" }, { "StartLimitBurst", "5" } };
    for (const auto& [key, expected] : settings)
        EXPECT_EQ(value(unit, key), expected) << key;
    // What the service writes must be inside the directories systemd makes writable for it.
    EXPECT_EQ(values(unit, "Environment"),
        (std::vector<std::string> { "NARV_HOME=/var/lib/rs", "RS_STORAGE_DIR=/var/lib/rs/store",
            "QEL_AUDIT_LOGDIR=/var/log/rs", "RS_LOG_PROPERTY_FILE=/etc/rs/rs.log4j.properties" }));
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

// The documents the operations guide sends its reader to ("docs/cluster.md").
std::set<std::string> documentsOfTheGuide()
{
    const std::string guide = readFile(fs::path(RS_TEST_SOURCE_DIR) / "docs/operations.md");
    static const std::regex reference(R"(docs/([A-Za-z0-9_.-]+\.(md|toml)))");
    std::set<std::string> names { "operations.md", "cluster.example.toml" };
    for (std::sregex_iterator at(guide.begin(), guide.end(), reference), end; at != end; ++at)
        names.insert((*at)[1]);
    return names;
}

// What bash completes for the words typed so far (the last one being completed).
std::string bashCompletion(const fs::path& script, const std::string& words)
{
    const std::string command = "bash -c "
        + quoted("source " + script.string() + "; COMP_WORDS=(" + words
            + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _rsadmin; echo \"${COMPREPLY[*]}\"");
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, n);
        ::pclose(pipe);
    }
    return output;
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
TEST_F(InstallTreeTest, EverythingTheGuideNamesIsInstalledStrippedAndDocumented)
{
    std::vector<std::string> files { "bin/rs", "bin/rsadmin", "bin/rsdeploy", "bin/rspasswd", "lib/libzor.so",
        "lib/rs/sec_passwd.so", "lib/rs/event_file.so", "lib/rs/event_syslog.so",
        "share/rs/narv_resources.dat", "lib/systemd/system/rs.service", "share/doc/rs/rs.env.example",
        "share/doc/rs/rs.log4j.properties", "share/doc/rs/examples/hello/rs-install.sh" };
    for (const auto& document : documentsOfTheGuide())
        files.push_back("share/doc/rs/" + document);
    for (const char* program : { "rs", "rsadmin", "rsdeploy", "rspasswd" }) {
        files.push_back(std::string("share/man/man1/") + program + ".1");
        files.push_back(std::string("share/bash-completion/completions/") + program);
        files.push_back(std::string("share/zsh/site-functions/_") + program);
    }
    for (const auto& file : files)
        EXPECT_TRUE(fs::exists(usr() / file)) << file;
    EXPECT_FALSE(fs::exists(usr() / "lib/sec_passwd.so")) << "plug-ins belong in lib/rs";
    // The installed daemon loads its libraries from the installed tree.
    const std::string version = quoted((usr() / "bin/rs").string()) + " -V > /dev/null 2>&1";
    const int versionStatus = std::system(version.c_str());
    EXPECT_TRUE(WIFEXITED(versionStatus) && WEXITSTATUS(versionStatus) == 0);

    // Programs are stripped, their debug information beside them.
    for (const char* file : { "bin/rs", "bin/rsadmin", "lib/libzor.so", "lib/rs/sec_passwd.so" }) {
        const fs::path path = usr() / file;
        const std::string binary = readFile(path);
        EXPECT_EQ(binary.find(".debug_info"), std::string::npos)
            << file << " still carries its debug information";
        EXPECT_NE(binary.find(".gnu_debuglink"), std::string::npos) << file;
        const fs::path debug = path.parent_path() / ".debug" / (path.filename().string() + ".debug");
        EXPECT_NE(readFile(debug).find(".debug_info"), std::string::npos) << debug;
    }

    // Manual pages and completions follow the options.
    EXPECT_NE(readFile(usr() / "share/man/man1/rs.1").find("\\-\\-check"), std::string::npos);
    EXPECT_NE(readFile(usr() / "share/man/man1/rsadmin.1").find("package install"), std::string::npos);
    EXPECT_EQ(readFile(usr() / "share/zsh/site-functions/_rsadmin").rfind("#compdef rsadmin", 0), 0u);
    const fs::path bash = usr() / "share/bash-completion/completions/rsadmin";
    const std::pair<const char*, const char*> rows[] = {
        { "rsadmin mo", "module" },
        { "rsadmin --server h:1 package in", "install" }, // an option's argument is no command
        { "rsadmin package install --gr", "--group" },
        { "rsadmin module get hello -", "--output" },
    };
    for (const auto& [words, expected] : rows)
        EXPECT_NE(bashCompletion(bash, words).find(expected), std::string::npos) << words;
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
