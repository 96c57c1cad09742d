#pragma once
// The deployment step that host allocation hands each arriving resource to
// (implemented by PackageInstaller).
//
// Thread: called on the resource manager client's callback thread.

#include "rs/deployment/status/ResourceHandle.h"

namespace rs {

class IHostDeployer {
public:
    virtual ~IHostDeployer() = default;
    virtual void deployNextHost(const ResourceHandle& resource) = 0;
};

} // namespace rs
