#include "rs/startup/CommunicationLibrary.h"

#include "zephcomm/router/DriverLoader.h"

namespace rs {

namespace {

const char* wordOrNull(const std::optional<std::string>& word)
{
    return word ? word->c_str() : nullptr;
}

} // namespace

int startCommunicationLibrary(const CommunicationWords& words)
{
    return zephcomm::init(words.threadCount, wordOrNull(words.driverName), wordOrNull(words.driverArgument),
                          wordOrNull(words.driverOptions));
}

void stopCommunicationLibrary()
{
    zephcomm::fini();
}

} // namespace rs
