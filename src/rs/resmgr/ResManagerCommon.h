#pragma once
// What the parts of the resource manager client share: its logger, how a
// failed library call or argument check is reported, and the texts it logs.
//
// Threads: every function may be called from any thread; error information
// is the calling thread's.

#include "common/KavAssert.h"

#include <log4cxx/logger.h>

#include <cstdint>
#include <string>

namespace rs::resmgr {

inline constexpr int kKillSignal = 7;
inline constexpr int kHangupSignal = 1;

// "servers.common.resmngr.ZORResManager": every part logs as the one client.
log4cxx::LoggerPtr resManagerLogger();

// Logs "<what> with zorerrno=<n>, the error message returned from ZOR is:
// <text>" and sets error information 0x890080EA; returns its code.
int32_t libraryFailure(const log4cxx::LoggerPtr& logger, const std::string& what, const char* location);
// Sets the error information of a failed argument check; returns its code.
int32_t assertionFailed(const char* expression, const char* file, int line);
// Takes the thread's error information and logs it as an error line.
void logAndDropError(const log4cxx::LoggerPtr& logger, const char* what);

const char* hostStateName(int state);
const char* containerStateName(int state);
// "user:****": what the logs show of a credential.
std::string maskCredential(const std::string& credential);

} // namespace rs::resmgr

// Logs the failed check and returns from the caller with error information set.
#define RM_ASSERT(expr) KAV_ASSERT(expr, ::rs::resmgr::assertionFailed(#expr, __FILE__, __LINE__))
