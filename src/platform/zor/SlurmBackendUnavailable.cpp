// The Slurm backend of a libzor built without libslurm: a description that
// asks for it is refused with the reason.

#include "platform/zor/EmbeddedCluster.h"
#include "platform/zor/SlurmBackend.h"

namespace zor {

class SlurmBackend::Pending { };

std::shared_ptr<SlurmBackend> SlurmBackend::create(const SlurmSettings&)
{
    throw ZorError { ZORE_CONF,
        "backend \"slurm\" is not available: libzor was built without libslurm (install libslurm-dev and "
        "rebuild)" };
}

void SlurmBackend::setEventHandler(Events) { }
void SlurmBackend::describe(ClusterDescription&) { }
std::shared_ptr<SlurmBackend::Pending> SlurmBackend::allocate(const Request&, Granted)
{
    return nullptr;
}
void SlurmBackend::withdraw(const std::shared_ptr<Pending>&) { }
bool SlurmBackend::shrink(uint32_t, const std::vector<std::string>&)
{
    return false;
}
void SlurmBackend::end(uint32_t) { }
std::string SlurmBackend::stepCommand(uint32_t, const std::string&, const std::string&, const std::string&,
    const std::string&, const std::string&) const
{
    return {};
}
bool SlurmBackend::signalStep(uint32_t, const std::string&, int)
{
    return false;
}

} // namespace zor
