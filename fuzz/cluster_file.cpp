// Fuzz target: the embedded cluster's description file. A file is either
// loaded or refused with DescriptionError; a loaded description must be
// consistent (groups name known hosts, consumer paths are normalised).

#include "FuzzSupport.h"

#include "platform/zor/ClusterDescription.h"

#include <cstdlib>
#include <string>

namespace {

void checkConsistent(const zor::ClusterDescription& d)
{
    for (const auto& [group, hosts] : d.groups) {
        for (const std::string& host : hosts)
            fuzz::check(d.findHost(host) != nullptr, "a group names an unknown host");
    }
    for (const std::string& consumer : d.consumers) {
        fuzz::check(zor::normaliseConsumerPath(consumer) == consumer, "a consumer path is not normalised");
        fuzz::check(d.isConsumer(consumer), "a listed consumer is not a consumer");
    }
    for (const zor::HostInfo& host : d.hosts)
        fuzz::check(d.findHost(host.name) == &host, "a host is not found by its name");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The state directory must come from the file, not from the environment.
    ::unsetenv("ZOR_STATE_DIR");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::ScratchDirectory& scratch = fuzz::ScratchDirectory::instance();
    scratch.writeFile("cluster.toml", std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        checkConsistent(zor::ClusterDescription::fromFile(scratch.path() + "/cluster.toml"));
    } catch (const zor::DescriptionError&) {
        // A refused file is a correct answer to a malformed one.
    }
    return 0;
}
