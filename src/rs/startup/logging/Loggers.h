#pragma once
// The fixed logger names of the service. Each logger is looked up once, on
// first use, and kept for the life of the process: callers hold the returned
// reference (for example in a function-local static) instead of asking
// log4cxx by name on every line. Thread-safe.

#include <log4cxx/logger.h>

namespace kav::loggers {

inline constexpr const char* kDaemon = "rs";
inline constexpr const char* kRepositoryService = "rs.repositoryService";
inline constexpr const char* kRepositoryServiceManager = "rs.repositoryServiceManager";
inline constexpr const char* kRepositoryServer = "rs.repositoryServer";
inline constexpr const char* kAppDeploymentServer = "rs.AppDeploymentServer";
inline constexpr const char* kPackageInstaller = "rs.PackageInstaller";
inline constexpr const char* kResAlloc = "rs.RSResAlloc";
inline constexpr const char* kWork = "repository.work";
inline constexpr const char* kCacheFile = "repository.cachefile";
inline constexpr const char* kZorConnector = "repository.ZorConnector";
inline constexpr const char* kIndexFile = "RS.IndexFile";
inline constexpr const char* kFileUtils = "CLI.dpl.rsmanagerutils";
inline constexpr const char* kWorkload = "workload";
inline constexpr const char* kResManager = "servers.common.resmngr.ZORResManager";
inline constexpr const char* kConsumer = "servers.common.resmngr.ZORConsumer";
inline constexpr const char* kDummyConsumer = "servers.common.resmngr.DummyResConsumer";
inline constexpr const char* kVrmResource = "servers.common.resmngr.VrmResource";
inline constexpr const char* kPeriodicManager = "tpm.tpmcore.PeriodicManager";
inline constexpr const char* kEventAgent = "narv.common.EventAgent";
inline constexpr const char* kUtils = "narv.common.utils";
inline constexpr const char* kI18n = "common.i18n.NarvI18n";
inline constexpr const char* kIcuImpl = "common.i18n.IcuImpl";
inline constexpr const char* kAudit = "RSAuditlogger";

// The logger of that name, looked up on the first call for the name and
// cached; the reference stays valid until process exit.
const log4cxx::LoggerPtr& get(const char* name);

} // namespace kav::loggers
