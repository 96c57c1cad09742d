#include "rs/resmgr/DummyResConsumer.h"

#include "common/Loggers.h"
#include "rs/resmgr/VrmResource.h"

#include <log4cxx/logger.h>

namespace rs::resmgr {

namespace {
log4cxx::LoggerPtr logger()
{
    return kav::loggers::get(kav::loggers::kDummyConsumer);
}
} // namespace

int32_t DummyResConsumer::onResource(VrmResource* resource)
{
    LOG4CXX_DEBUG(logger(), "onResource: " << (resource ? resource->name() : std::string("<none>")));
    return 0;
}

int32_t DummyResConsumer::onReclaimForce(const std::string& allocationId)
{
    LOG4CXX_DEBUG(logger(), "onReclaimForce: " << allocationId);
    return 0;
}

int32_t DummyResConsumer::onReclaimResource(VrmResource* resource)
{
    LOG4CXX_DEBUG(logger(), "onReclaimResource: " << (resource ? resource->name() : std::string("<none>")));
    return 0;
}

int32_t DummyResConsumer::startContainer(VrmResource*)
{
    return 0;
}

int32_t DummyResConsumer::onReleaseResources(VrmResource*)
{
    return 0;
}

} // namespace rs::resmgr
