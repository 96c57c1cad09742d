#pragma once
// The daemon's use of the resource manager client singleton: its start and
// stop, the registration of the service's address, and the access object
// that the service object's checks go through.
//
// Threads: main thread, except the access object (thread-safe).

#include "rs/core/ResourceManagerAccess.h"

#include <memory>
#include <string>

namespace rs {

// Starts the client under clientName; throws KavException on failure.
void initResourceManager(const std::string& clientName);
// Registers url under clientName; throws 0x890080EA when refused.
void registerServiceUrl(const std::string& clientName, const std::string& url);
void cleanupResourceManager();
std::unique_ptr<ResourceManagerAccess> makeResourceManagerAccess();

} // namespace rs
