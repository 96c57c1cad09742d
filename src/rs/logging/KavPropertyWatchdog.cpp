#include "rs/logging/KavPropertyWatchdog.h"

#include <log4cxx/propertyconfigurator.h>
#include <log4cxx/xml/domconfigurator.h>

namespace kav {

namespace {

bool isXml(const std::string& path)
{
    static const std::string suffix = ".xml";
    return path.size() >= suffix.size()
        && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

KavPropertyWatchdog::KavPropertyWatchdog(
    const std::string& file, std::chrono::milliseconds delay, Observer observer)
    : FileWatchdog(log4cxx::File(file))
    , path_(file)
    , observer_(std::move(observer))
{
    setDelay(static_cast<long>(delay.count()));
}

void KavPropertyWatchdog::doOnChange()
{
    if (isXml(path_))
        log4cxx::xml::DOMConfigurator::configure(path_);
    else
        log4cxx::PropertyConfigurator::configure(log4cxx::File(path_));
    if (observer_)
        observer_(path_);
}

} // namespace kav
