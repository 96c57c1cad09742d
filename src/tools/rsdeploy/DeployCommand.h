#pragma once
// DeployCommand: what the deploy command does on one host for one package.
//
// Install: reports DOWNLOADING, fetches the package (typed for the host
// type first, then untyped), reports RUNNING, unpacks it into a fresh
// directory beside ${QEL_TOP}/apps/<package> and renames it into place, runs
// the package's install hook if it has one, reports INSTALLED.
// Uninstall: reports RUNNING, runs the uninstall hook if present, removes
// ${QEL_TOP}/apps/<package>, reports UNINSTALLED.
// Any failure reports ERROR with an error record that says what failed and
// where, and leaves the previous tree (if any) as it was.
//
// Hooks: "rs-install.sh" and "rs-uninstall.sh" at the root of the package,
// run as "/bin/sh <hook>" with the package tree as working directory and
// RS_PACKAGE, RS_HOST, RS_HOST_TYPE and RS_APP_DIR in the environment; a
// non-zero exit status is a failure.
//
// Thread: one, the command's main thread.

#include "common/ResultCodes.h"

#include <memory>
#include <string>

namespace kav {
class IKavErrorInfo;
}

namespace rsdeploy {

// The error code of a failed deployment step on the host; its record's
// detail and single parameter say what failed and where.
inline constexpr int32_t kDeployStepFailed = kav::rc::RS_DEPLOY_STEP_FAILED;

inline constexpr const char* kInstallHook = "rs-install.sh";
inline constexpr const char* kUninstallHook = "rs-uninstall.sh";

struct DeployOptions {
    std::string package;
    std::string hostType;
    std::string host;
    bool uninstall = false;
    std::string qelTop; // ${QEL_TOP}
};

// The service side as the command sees it.
class IDeploymentChannel {
public:
    virtual ~IDeploymentChannel() = default;
    // Reports the host's state; error null for success. Returns 0 or a
    // negative code when the report was not accepted.
    virtual int report(uint32_t state, const kav::IKavErrorInfo* error) = 0;
    // Fetches the package stored for `type` ("" for untyped). Returns 0 and
    // fills fileName and contents, or the failure code.
    virtual int fetch(
        const std::string& package, const std::string& type, std::string& fileName, std::string& contents)
        = 0;
};

class DeployCommand {
public:
    DeployCommand(DeployOptions options, IDeploymentChannel& channel);

    // Runs the install or uninstall; 0 on success, 1 on failure (reported).
    int run();

    std::string appDir() const;

private:
    void install();
    void uninstall();
    void fetch(std::string& fileName, std::string& contents);
    void runHook(const char* hook, const std::string& dir) const;
    void report(uint32_t state);

    DeployOptions options_;
    IDeploymentChannel& channel_;
};

// Thrown by the steps: what failed and where.
struct StepFailure {
    std::string text;
};

} // namespace rsdeploy
