// Naming helpers of the Slurm hosts that need no libslurm.

#include "platform/zor/SlurmClient.h"

namespace zor {

std::string partitionOfGroup(const SlurmSettings& settings, const std::string& group)
{
    if (auto it = settings.partitions.find(group); it != settings.partitions.end())
        return it->second;
    return group == kInternalGroup ? settings.internalPartition : group;
}

std::string nodeTree(const std::string& pattern, const std::string& node)
{
    const std::string variable = std::string("${") + kNodeNameVariable + "}";
    std::string out = pattern;
    for (size_t at = out.find(variable); at != std::string::npos; at = out.find(variable, at + node.size()))
        out.replace(at, variable.size(), node);
    return out;
}

std::string shellQuote(const std::string& word)
{
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace zor
