#include "rs/resmgr/ContainerControl.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "platform/zor/zor.h"
#include "rs/resmgr/ResManagerCommon.h"

#include <algorithm>
#include <cctype>

namespace rs::resmgr {

namespace {

bool equalsIgnoreCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::toupper(x) == std::toupper(y);
    });
}

// The environment with ${QEL_LIBDIR} on the PATH.
std::vector<std::string> withLibraryPath(std::vector<std::string> env)
{
    auto path = std::find_if(env.begin(), env.end(), [](const std::string& e) {
        return e.find('=') != std::string::npos && equalsIgnoreCase(e.substr(0, e.find('=')), "PATH");
    });
    // Names are case-sensitive here: whatever its spelling, the entry becomes PATH.
    if (path != env.end())
        *path = "PATH" + path->substr(path->find('=')) + ":${QEL_LIBDIR}";
    else
        env.push_back("PATH=${PATH}:${QEL_LIBDIR}");
    return env;
}

} // namespace

ContainerControl::ContainerControl(ConsumerTable& table, log4cxx::LoggerPtr logger)
    : table_(table)
    , logger_(std::move(logger))
{
}

int32_t ContainerControl::provisionAs(VrmResource* resource, const std::string& command,
    const std::vector<std::string>& environment, const std::string& runAsUser, const std::string& workDir)
{
    RM_ASSERT(resource != nullptr);
    if (command.empty()) {
        kav::logAssertFailure("Command line is empty", __FILE__, __LINE__);
        return kav::setError(kav::rc::ZOR_CALL_FAILED, "Command line is empty", KAV_LOCATION);
    }
    const std::vector<std::string> env = withLibraryPath(environment);
    std::vector<const char*> envp;
    for (auto& e : env)
        envp.push_back(e.c_str());
    std::string containerName = resource->consumerId() + "@" + resource->name();
    zor_attr_t attr { const_cast<char*>("container_name"), containerName.data() };

    return table_.withHandle(resource->consumerId(), [&](ZORConsumer& consumer) {
        zor_containerSpec_t* spec = zor_create_containerSpec(command.c_str(), runAsUser.c_str(),
            workDir.c_str(), static_cast<int32_t>(envp.size()), envp.data(), 1, &attr);
        if (!spec)
            return libraryFailure(logger_, "zor_create_containerSpec failed", KAV_LOCATION.c_str());
        zor_containerId_t* id = zor_startcontainer(
            consumer.handle(), resource->allocationId().c_str(), resource->name().c_str(), spec);
        zor_free_containerSpec(spec);
        if (!id)
            return libraryFailure(logger_, "zor_startcontainer on host '" + resource->name() + "' failed",
                KAV_LOCATION.c_str());
        {
            // The library may have reported the container before this thread got here.
            std::lock_guard lock(table_.mutex());
            resource->setContainerId(id->id);
            if (std::optional<int> known = table_.containerStateLocked(id->id))
                resource->setContainerState(*known);
        }
        LOG4CXX_INFO(logger_, "Started container <" << id->id << "> on host <" << resource->name() << ">");
        zor_free_containerId(id);
        return 0;
    });
}

int32_t ContainerControl::signalContainer(VrmResource* resource, int sig)
{
    RM_ASSERT(resource != nullptr);
    return table_.withHandle(resource->consumerId(), [&](ZORConsumer& consumer) {
        std::string id = resource->containerId();
        if (zor_signalcontainer(consumer.handle(), id.c_str(), sig) != 0)
            return libraryFailure(logger_,
                "zor_signalcontainer <" + id + "> signal " + std::to_string(sig) + " failed",
                KAV_LOCATION.c_str());
        return 0;
    });
}

} // namespace rs::resmgr
