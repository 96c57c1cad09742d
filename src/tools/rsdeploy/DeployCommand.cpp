#include "tools/rsdeploy/DeployCommand.h"

#include "common/KavErrorInfo.h"
#include "interfaces/types/HostDeployState.h"
#include "tools/rsdeploy/ArchiveUnpacker.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <vector>

namespace fs = std::filesystem;

namespace rsdeploy {

namespace {

[[noreturn]] void fail(const std::string& text)
{
    throw StepFailure { text };
}

// A fresh sibling of `dir` for the new tree or the old one on its way out.
std::string siblingName(const std::string& dir, const char* purpose)
{
    std::random_device random;
    return dir + "." + purpose + "-" + std::to_string(::getpid()) + "-" + std::to_string(random() % 100000);
}

void removeTree(const std::string& path)
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

// Exit status of "/bin/sh script" run in dir with extra environment entries.
int runShell(const std::string& script, const std::string& dir, const std::vector<std::string>& extraEnv)
{
    pid_t pid = ::fork();
    if (pid < 0)
        return -errno;
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        for (const auto& entry : extraEnv)
            ::putenv(const_cast<char*>(entry.c_str()));
        ::execl("/bin/sh", "sh", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -errno;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

DeployCommand::DeployCommand(DeployOptions options, IDeploymentChannel& channel)
    : options_(std::move(options))
    , channel_(channel)
{
}

std::string DeployCommand::appDir() const
{
    return options_.qelTop + "/apps/" + options_.package;
}

int DeployCommand::run()
{
    try {
        if (options_.package.empty() || ArchiveUnpacker::pathRefusal(options_.package).size()
            || options_.package.find('/') != std::string::npos)
            fail("package name '" + options_.package + "' is not a single directory name");
        if (options_.qelTop.empty())
            fail("QEL_TOP is not set on host " + options_.host);
        options_.uninstall ? uninstall() : install();
        return 0;
    } catch (const StepFailure& failure) {
        std::cerr << "rsdeploy: " << failure.text << std::endl;
        kav::KavErrorInfo error(
            kDeployStepFailed, "rsdeploy", "host " + options_.host, failure.text, { failure.text });
        error.setMessage(failure.text);
        channel_.report(rs::HOST_ERROR, &error);
        return 1;
    }
}

void DeployCommand::report(uint32_t state)
{
    int rc = channel_.report(state, nullptr);
    if (rc < 0)
        fail("the service refused the report " + rs::hostDeployStateText(state) + " (code "
            + std::to_string(rc) + ")");
}

void DeployCommand::fetch(std::string& fileName, std::string& contents)
{
    int typed = channel_.fetch(options_.package, options_.hostType, fileName, contents);
    if (typed == 0)
        return;
    int untyped = channel_.fetch(options_.package, "", fileName, contents);
    if (untyped != 0)
        fail("fetching package " + options_.package + " for host type " + options_.hostType
            + " failed (typed: code " + std::to_string(typed) + ", untyped: code " + std::to_string(untyped)
            + ")");
}

void DeployCommand::install()
{
    report(rs::HOST_DOWNLOADING);
    std::string fileName, contents;
    fetch(fileName, contents);
    report(rs::HOST_RUNNING);

    const std::string dir = appDir();
    std::error_code ec;
    fs::create_directories(options_.qelTop + "/apps", ec);
    if (ec)
        fail("creating " + options_.qelTop + "/apps on host " + options_.host + ": " + ec.message());
    const std::string fresh = siblingName(dir, "new");
    if (!fs::create_directory(fresh, ec))
        fail("creating " + fresh + " on host " + options_.host + ": " + ec.message());
    try {
        ArchiveUnpacker::unpack(contents, fileName, fresh);
    } catch (const UnpackError& error) {
        removeTree(fresh);
        fail("unpacking " + fileName + " into " + dir + " on host " + options_.host + ": " + error.what());
    }
    // The old tree moves aside first so that the new one appears in one rename.
    const std::string old = siblingName(dir, "old");
    bool hadOld = fs::exists(dir);
    if (hadOld && ::rename(dir.c_str(), old.c_str()) != 0) {
        removeTree(fresh);
        fail("moving the previous " + dir + " aside on host " + options_.host + ": " + std::strerror(errno));
    }
    if (::rename(fresh.c_str(), dir.c_str()) != 0) {
        std::string why = std::strerror(errno);
        removeTree(fresh);
        if (hadOld)
            ::rename(old.c_str(), dir.c_str());
        fail("moving the package into " + dir + " on host " + options_.host + ": " + why);
    }
    if (hadOld)
        removeTree(old);
    runHook(kInstallHook, dir);
    report(rs::HOST_INSTALLED);
}

void DeployCommand::uninstall()
{
    report(rs::HOST_RUNNING);
    const std::string dir = appDir();
    if (fs::is_directory(dir))
        runHook(kUninstallHook, dir);
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (ec)
        fail("removing " + dir + " on host " + options_.host + ": " + ec.message());
    report(rs::HOST_UNINSTALLED);
}

void DeployCommand::runHook(const char* hook, const std::string& dir) const
{
    if (!fs::is_regular_file(dir + "/" + hook))
        return;
    int status = runShell(hook, dir,
        { "RS_PACKAGE=" + options_.package, "RS_HOST=" + options_.host, "RS_HOST_TYPE=" + options_.hostType,
            "RS_APP_DIR=" + dir });
    if (status != 0)
        fail(std::string(hook) + " exited with status " + std::to_string(status) + " in " + dir + " on host "
            + options_.host);
}

} // namespace rsdeploy
