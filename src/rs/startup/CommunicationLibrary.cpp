#include "rs/startup/CommunicationLibrary.h"

#include "zephcomm/driver/DriverSelection.h"
#include "zephcomm/router/DriverLoader.h"

namespace rs {

using zephcommdrv::wordOrNull;

int startCommunicationLibrary(const CommunicationWords& words)
{
    // Without a driver word the operator's choice in the environment
    // (RS_DRIVER, RS_DRIVER_ARG) applies; without that, plain TCP.
    const zephcommdrv::DriverSelection chosen = zephcommdrv::driverSelectionFromEnvironment();
    const bool fromWords = words.driverName.has_value();
    return zephcomm::init(words.threadCount, wordOrNull(fromWords ? words.driverName : chosen.name),
        wordOrNull(fromWords ? words.driverArgument : chosen.argument), wordOrNull(words.driverOptions));
}

void stopCommunicationLibrary()
{
    zephcomm::fini();
}

} // namespace rs
