#pragma once
// Records what the host status table hands to the service, and formats
// error records as "<code in hex>:<params joined by ,>" so that tests can
// check which code and arguments reached the entry. Host slots are counted
// stand-ins for the resource manager's, so that tests can check that every
// reference is given back.

#include "rs/deployment/status/IHostStatusSink.h"
#include "rs/deployment/status/ResourceHandle.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

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

struct PersistCall {
    std::string package;
    std::string host;
    HostStatusEntry entry;
};

class FakeHostStatusSink : public IHostStatusSink {
public:
    void persist(const std::string& package, const std::string& host, const HostStatusEntry& entry) override
    {
        persisted.push_back({ package, host, entry });
        persisted.back().entry.resource = {}; // what is persisted never holds a slot
    }
    void persistAll(const std::string& package,
        const std::vector<std::pair<std::string, HostStatusEntry>>& entries) override
    {
        ++changesTogether;
        IHostStatusSink::persistAll(package, entries);
    }
    void audit(const DeploymentAuditRecord& record) override { audits.push_back(record); }
    std::string messageText(const kav::IKavErrorInfo& info) override { return format(info); }

    static std::string format(const kav::IKavErrorInfo& info)
    {
        char code[16];
        std::snprintf(code, sizeof code, "%08x", static_cast<uint32_t>(info.getCode()));
        std::string text = code;
        text += ":";
        for (size_t i = 0; i < info.getParams().size(); ++i)
            text += (i ? "," : "") + info.getParams()[i];
        return text;
    }

    std::vector<PersistCall> persisted;
    int changesTogether = 0; // persistAll calls
    std::vector<DeploymentAuditRecord> audits;
};

} // namespace rs::test
