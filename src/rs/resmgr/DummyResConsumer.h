#pragma once
// DummyResConsumer: accepts every callback and does nothing. The keep-alive
// consumer uses it to hold a connection to the resource manager.

#include "rs/resmgr/IResourceConsumer.h"

namespace rs::resmgr {

class DummyResConsumer final : public IResourceConsumer {
public:
    int32_t onResource(VrmResource* resource) override;
    int32_t onReclaimForce(const std::string& allocationId) override;
    int32_t onReclaimResource(VrmResource* resource) override;
    int32_t startContainer(VrmResource* resource) override;
    int32_t onReleaseResources(VrmResource* resource) override;
    void cleanup() override { }
    void destroy() override { }
};

} // namespace rs::resmgr
