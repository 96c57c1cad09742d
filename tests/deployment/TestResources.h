#pragma once
// Host slots for tests: a counted stand-in for the resource manager's slot
// object, so that tests can check that every reference is given back.

#include "rs/deployment/status/ResourceHandle.h"

#include <atomic>
#include <string>

namespace rs::test {

class TestSlot : public kav::Referable {
public:
    static std::atomic<int>& alive()
    {
        static std::atomic<int> count { 0 };
        return count;
    }
    TestSlot()
        : kav::Referable(0)
    {
        ++alive();
    }

protected:
    ~TestSlot() override { --alive(); }
};

inline ResourceHandle makeResource(const std::string& host, const std::string& type = "linux")
{
    return ResourceHandle(kav::RefPtr<kav::Referable>(new TestSlot), host, type);
}

inline std::string resourceHost(const ResourceHandle& r)
{
    return r.hostName();
}

} // namespace rs::test
