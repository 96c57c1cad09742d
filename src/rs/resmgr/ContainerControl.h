#pragma once
// ContainerControl: how ZORResManager starts a command in a container on an
// allocated host and signals it. PATH is extended by ${QEL_LIBDIR} (names
// are case-sensitive here, so an entry spelt in any case becomes "PATH") and
// the container is named <consumer>@<host>.
//
// Threads: any. Library calls run under the consumer's handle mutex; the
// resource's container fields are its own to guard.

#include "rs/resmgr/ConsumerTable.h"
#include "rs/resmgr/VrmResource.h"

#include <log4cxx/logger.h>

#include <string>
#include <vector>

namespace rs::resmgr {

class ContainerControl {
public:
    ContainerControl(ConsumerTable& table, log4cxx::LoggerPtr logger);

    int32_t provisionAs(VrmResource* resource, const std::string& command,
        const std::vector<std::string>& environment, const std::string& runAsUser,
        const std::string& workDir);
    // Signal 7 kills the container, 1 asks it to end.
    int32_t signalContainer(VrmResource* resource, int sig);

private:
    ConsumerTable& table_;
    log4cxx::LoggerPtr logger_;
};

} // namespace rs::resmgr
