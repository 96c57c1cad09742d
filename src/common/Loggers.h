#pragma once
// The logger names of the programs, each declared here once: code asks for a
// logger only through these constants, so a name in a log configuration
// matches the code. Each logger is looked up once, on first use, and kept
// for the life of the process: callers hold the returned reference (for
// example in a function-local static) instead of asking log4cxx by name on
// every line. Thread-safe.

#include <log4cxx/logger.h>

namespace kav::loggers {

// The service.
inline constexpr const char* kDaemon = "rs";
inline constexpr const char* kRepositoryService = "rs.repositoryService";
inline constexpr const char* kRepositoryServiceManager = "rs.repositoryServiceManager";
inline constexpr const char* kRepositoryServer = "rs.repositoryServer";
inline constexpr const char* kAppDeploymentServer = "rs.AppDeploymentServer";
inline constexpr const char* kPackageInstaller = "rs.PackageInstaller";
inline constexpr const char* kResAlloc = "rs.RSResAlloc";
inline constexpr const char* kWork = "repository.work"; // the work items and the work queue
inline constexpr const char* kCacheFile = "repository.cachefile";
inline constexpr const char* kIndexFile = "RS.IndexFile";
inline constexpr const char* kFileUtils = "CLI.dpl.rsmanagerutils";
inline constexpr const char* kResManager = "servers.common.resmngr.ZORResManager";
inline constexpr const char* kDummyConsumer = "servers.common.resmngr.DummyResConsumer";
inline constexpr const char* kEventAgent = "narv.common.EventAgent";
inline constexpr const char* kUtils = "narv.common.utils";
inline constexpr const char* kI18n = "common.i18n.NarvI18n";
inline constexpr const char* kIcuImpl = "common.i18n.IcuImpl";
inline constexpr const char* kAudit = "RSAuditlogger";

// The communication library and its client.
inline constexpr const char* kRouter = "zephcomm.Router";
inline constexpr const char* kChannel = "zephcomm.Channel";
inline constexpr const char* kChannelAcceptor = "zephcomm.ChannelAcceptor";
inline constexpr const char* kChannelConnector = "zephcomm.ChannelConnector";
inline constexpr const char* kProtocol = "zephcomm.Protocol";
inline constexpr const char* kProxy = "zephcomm.Proxy";
inline constexpr const char* kStub = "zephcomm.Stub";
inline constexpr const char* kDriver = "zephcommdrv";
inline constexpr const char* kClient = "rsclient";

// The logger of that name, looked up on the first call for the name and
// cached; the reference stays valid until process exit, also while static
// objects are destroyed (threads of the communication library may still log).
const log4cxx::LoggerPtr& get(const char* name);

} // namespace kav::loggers
