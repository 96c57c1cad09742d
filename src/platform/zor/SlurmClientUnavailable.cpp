// The Slurm client of a libzor built without libslurm: a description that
// asks for Slurm is refused with the reason.

#include "platform/zor/SlurmClient.h"
#include "platform/zor/ZorError.h"
#include "platform/zor/zor.h"

namespace zor {

class SlurmClient::Pending { };

std::shared_ptr<SlurmClient> SlurmClient::create(const SlurmSettings&)
{
    throw ZorError { ZORE_CONF,
        "backend \"slurm\" is not available: libzor was built without libslurm (install libslurm-dev and "
        "rebuild)" };
}

void SlurmClient::setEventHandler(Events) { }
void SlurmClient::describe(ClusterDescription&) { }
std::shared_ptr<SlurmClient::Pending> SlurmClient::allocate(const Request&, Granted)
{
    return nullptr;
}
void SlurmClient::withdraw(const std::shared_ptr<Pending>&) { }
bool SlurmClient::shrink(uint32_t, const std::vector<std::string>&)
{
    return false;
}
void SlurmClient::end(uint32_t) { }
std::string SlurmClient::stepCommand(uint32_t, const std::string&, const std::string&, const std::string&,
    const std::string&, const std::string&) const
{
    return {};
}
bool SlurmClient::signalStep(uint32_t, const std::string&, int)
{
    return false;
}

} // namespace zor
