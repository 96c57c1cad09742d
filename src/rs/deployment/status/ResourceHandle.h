#pragma once
// ResourceHandle: how deployment code holds one allocated host slot of the
// resource manager. It keeps a reference on the slot object (a VrmResource of
// the resource manager client) together with the host name and host type read
// from it when it arrived, so that the status table and the installers need
// nothing but these two names; only the code that talks to the resource
// manager looks at the slot itself.
//
// A value type; copies share the slot's reference count, which is thread-safe.

#include "common/Referable.h"

#include <string>
#include <utility>

namespace rs {

class ResourceHandle {
public:
    ResourceHandle() = default;
    ResourceHandle(kav::RefPtr<kav::Referable> slot, std::string hostName, std::string hostType)
        : slot_(std::move(slot))
        , hostName_(std::move(hostName))
        , hostType_(std::move(hostType))
    {
    }

    explicit operator bool() const { return static_cast<bool>(slot_); }
    const std::string& hostName() const { return hostName_; }
    const std::string& hostType() const { return hostType_; }
    // The resource manager's slot object; null for an empty handle.
    kav::Referable* slot() const { return slot_.get(); }

private:
    kav::RefPtr<kav::Referable> slot_;
    std::string hostName_;
    std::string hostType_;
};

} // namespace rs
