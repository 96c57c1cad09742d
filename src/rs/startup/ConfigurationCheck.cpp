#include "rs/startup/ConfigurationCheck.h"

#include "platform/zor/zor.h"
#include "rs/i18n/NarvI18n.h"
#include "rs/logging/AuditLog.h"
#include "rs/logging/ConfParam.h"
#include "rs/resmgr/KavQelUtils.h"

#include <log4cxx/logger.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace rs {

namespace {

namespace fs = std::filesystem;

// The plug-in whose configuration text is a password file.
constexpr const char* kPasswordPlugin = "sec_passwd";

std::string systemText(int error)
{
    return std::strerror(error);
}

std::string envText(const EnvLookup& env, const char* name)
{
    const char* value = env(name);
    return value ? value : "";
}

// Why path cannot be read as a file, or nothing.
Problem unreadableFile(const std::string& path)
{
    std::error_code error;
    if (fs::is_directory(path, error))
        return "it is a directory";
    if (::access(path.c_str(), R_OK) != 0)
        return systemText(errno);
    return std::nullopt;
}

// A directory that the service must be able to write in: an existing one must
// be a directory it can use; a missing one must be creatable below its
// nearest existing ancestor.
Problem unusableDirectory(const std::string& dir)
{
    std::error_code error;
    const fs::path path(dir);
    if (fs::exists(path, error)) {
        if (!fs::is_directory(path, error))
            return "it is not a directory";
        if (::access(dir.c_str(), R_OK | W_OK | X_OK) != 0)
            return "it is not readable and writable for this user (" + systemText(errno) + ")";
        return std::nullopt;
    }
    fs::path ancestor = fs::absolute(path, error).parent_path();
    while (!ancestor.empty() && !fs::exists(ancestor, error) && ancestor != ancestor.root_path())
        ancestor = ancestor.parent_path();
    if (!fs::is_directory(ancestor, error))
        return ancestor.string() + " is not a directory, so it cannot be created";
    if (::access(ancestor.c_str(), W_OK | X_OK) != 0)
        return "it does not exist and cannot be created in " + ancestor.string() + " (" + systemText(errno)
            + ")";
    return std::nullopt;
}

void report(const char* kind, const std::string& text)
{
    std::cerr << "rs: " << kind << ": " << text << '\n';
}

} // namespace

Problem clusterDescriptionProblem(const EnvLookup& env)
{
    const std::string file = envText(env, "ZOR_CLUSTER_FILE");
    if (!file.empty())
        if (auto why = unreadableFile(file))
            return "ZOR_CLUSTER_FILE names the cluster description " + file
                + ", which cannot be read: " + *why;
    // Any call loads the description; a malformed one fails every call with its reason.
    zorerrno = ZORE_OK;
    if (!zor_getconfparam("QEL_SEC_PLUGIN") && zorerrno == ZORE_CONF)
        return std::string(zor_strerror(ZORE_CONF));
    return std::nullopt;
}

Problem missingClusterFileProblem(const EnvLookup& env)
{
    if (!envText(env, "ZOR_CLUSTER_FILE").empty())
        return std::nullopt;
    const std::string top = envText(env, "QEL_TOP");
    std::error_code error;
    if (!top.empty() && fs::exists(top + "/conf/cluster.toml", error))
        return std::nullopt;
    return "ZOR_CLUSTER_FILE is not set"
        + std::string(top.empty() ? "" : " and " + top + "/conf/cluster.toml does not exist")
        + ": the resource manager knows this host alone and no parameters (no security plug-in, no resource "
          "groups). Set ZOR_CLUSTER_FILE to the cluster description (docs/cluster.md).";
}

Problem securityPluginProblem()
{
    if (kav::resourceManagerConfParams()("QEL_SEC_PLUGIN").value_or("").empty())
        return "no security plug-in is configured: set the parameter QEL_SEC_PLUGIN in the cluster "
               "description (every logon needs it; the service does not start without it)";
    return std::nullopt;
}

Problem passwordFileProblem()
{
    const auto params = kav::resourceManagerConfParams();
    if (params("QEL_SEC_PLUGIN").value_or("") != kPasswordPlugin)
        return std::nullopt;
    const std::string passwordFile = params("QEL_SEC_CONF").value_or("");
    if (passwordFile.empty())
        return "the security plug-in sec_passwd has no password file: set the parameter QEL_SEC_CONF; "
               "until then every logon is refused";
    if (auto why = unreadableFile(passwordFile))
        return "the password file " + passwordFile + " (parameter QEL_SEC_CONF) cannot be read: " + *why
            + "; every logon is refused until it exists and the service's user can read it (create it with "
              "rspasswd)";
    return std::nullopt;
}

Problem storageDirectoryProblem(const std::string& dir)
{
    if (auto why = unusableDirectory(dir))
        return "the storage directory " + dir + " cannot be used: " + *why;
    return std::nullopt;
}

Problem portProblem(int32_t port)
{
    // The service's acceptor listens on every IPv4 address with SO_REUSEADDR;
    // a socket bound the same way fails for the same reason.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return systemText(errno);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    Problem problem;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)
        problem = systemText(errno);
    ::close(fd);
    return problem;
}

Problem catalogueProblem()
{
    if (!kav::NarvI18n::locateDataFile().empty())
        return std::nullopt;
    return std::string("the message catalogue ") + kav::NarvI18n::kDataFileName
        + " cannot be found (RS_I18N_DATA, or share/rs beside the program): messages are shown by number "
          "only";
}

Problem auditDirectoryProblem(bool gridMode)
{
    const auto sources = kav::audit::DirectorySources::collect(kav::resourceManagerConfParams(), gridMode);
    const auto dir = kav::audit::directoryFor(sources);
    if (!dir)
        return "RS_AUDIT_LOG is ON but no audit directory is known: set QEL_AUDIT_LOGDIR (or QEL_TOP or "
               "NARV_HOME)";
    if (auto why = unusableDirectory(*dir))
        return "the audit directory " + *dir + " cannot be used: " + *why + "; no audit log would be written";
    return std::nullopt;
}

int runConfigurationCheck(DaemonConfig config, const std::vector<std::string>& environmentWarnings)
{
    // Nothing is logged: everything the check finds goes to standard error.
    log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getOff());
    const EnvLookup env = processEnvironment();
    int errors = 0;
    auto error = [&](const Problem& problem) {
        if (problem) {
            report("error", *problem);
            ++errors;
        }
    };
    auto warning = [](const Problem& problem) {
        if (problem)
            report("warning", *problem);
    };
    for (const auto& text : environmentWarnings)
        warning(text);

    if (!parsePort(config.portText, config.port))
        error("the port '" + config.portText
            + "' (REPOSITORY_SERVICE_PORT or -p) is not a number from 1 to 65535");
    else if (auto why = portProblem(config.port))
        error("cannot listen on port " + std::to_string(config.port) + ": " + *why);

    const bool gridMode = KavQelUtils::instance().isGridMode();
    char cwd[512];
    applyDirectoryDefaults(config, env, { gridMode, ::getcwd(cwd, sizeof cwd) ? cwd : "" });
    error(storageDirectoryProblem(config.storageDir));

    const Problem cluster = clusterDescriptionProblem(env);
    error(cluster);
    if (!cluster) {
        warning(missingClusterFileProblem(env));
        error(securityPluginProblem());
        error(passwordFileProblem());
    }
    warning(catalogueProblem());
    if (config.auditLog && !cluster)
        warning(auditDirectoryProblem(gridMode));
    std::error_code missing;
    if (!fs::exists(config.logPropertyFile, missing) && !fs::exists(config.logPropertyFile + ".xml", missing))
        std::cerr
            << "rs: note: no log configuration " << config.logPropertyFile
            << " (or .xml): the built-in one is used (INFO, to the journal under systemd, else a log file)\n";

    if (errors != 0) {
        std::cerr << "rs: the configuration is not usable (" << errors << (errors == 1 ? " error" : " errors")
                  << ")" << std::endl;
        return 1;
    }
    std::cerr << "rs: the configuration is usable" << std::endl;
    return 0;
}

} // namespace rs
