#include "rs/events/EventNotification.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "platform/notev/notev.h"
#include "rs/events/EventTable.h"
#include "rs/logging/CatalogueText.h"

#include <cctype>

namespace kav {

namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr& instance = loggers::get(loggers::kEventAgent);
    return instance;
}

std::string trimmed(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

struct PluginEntry {
    std::string module;
    std::string parameter;
};

// "a[x]b[y]..." -> (a, x), (b, y); stops at the first entry without brackets.
std::vector<PluginEntry> parsePluginEntries(const std::string& text)
{
    std::vector<PluginEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('[', pos);
        const size_t close = open == std::string::npos ? open : text.find(']', open + 1);
        if (close == std::string::npos)
            break;
        entries.push_back({ trimmed(text.substr(pos, open - pos)), text.substr(open + 1, close - open - 1) });
        pos = close + 1;
    }
    return entries;
}

bool isRaisable(int32_t code)
{
    return code >= EventNotification::kFirstCode && code <= EventNotification::kLastCode && code != 75026
        && code != 75027;
}

} // namespace

EventNotification& EventNotification::instance()
{
    static EventNotification singleton(resourceManagerConfParams());
    return singleton;
}

EventNotification::EventNotification(ConfParamReader params)
    : params_(std::move(params))
{
}

EventNotification::~EventNotification() = default;

int EventNotification::thresholdFor(const std::string& mask)
{
    if (mask == "LOG_INFO")
        return 4;
    if (mask == "LOG_WARNING")
        return 3;
    if (mask == "LOG_ERR")
        return 2;
    return 0;
}

bool EventNotification::isInitialised() const
{
    std::lock_guard lock(mutex_);
    return initialised_;
}

int32_t EventNotification::init(const std::string& /*parameter*/)
{
    std::lock_guard lock(mutex_);
    return KAV_GUARDED([this] {
        initFramework();
        try {
            loadPlugins();
        } catch (...) {
            // The library is up but will not be used: leave it closed.
            event_fini();
            throw;
        }
        initialised_ = true;
        return rc::OK;
    });
}

void EventNotification::initFramework()
{
    if (event_init("eventtest", events::kRowCount, events::table()) != 0)
        KAV_THROW(rc::EVENT_INIT_FAILED, "event_init failed");
    const std::string mask = params_("QEL_EVENT_MASK").value_or("");
    event_setthreshold(thresholdFor(mask));
    LOG4CXX_DEBUG(logger(), " Leave with event mask " << mask);
}

void EventNotification::loadPlugins()
{
    // No plug-in is a configuration of its own (events are then only
    // logged here): one INFO line. A plug-in without its directory is an error.
    const auto plugins = params_("QEL_EVENT_PLUGIN");
    const auto libdir = params_("QEL_LIBDIR");
    if (!libdir) {
        LOG4CXX_LOG(logger(), plugins ? log4cxx::Level::getError() : log4cxx::Level::getInfo(),
            " failed to get QEL_LIBDIR from ZORAPI zor_getconfparam.");
        KAV_THROW(rc::NO_QEL_LIBDIR, "QEL_LIBDIR not set");
    }
    if (!plugins) {
        LOG4CXX_INFO(logger(), " failed to get QEL_EVENT_PLUGIN from ZORAPI zor_getconfparam.");
        KAV_THROW(rc::NO_QEL_EVENT_PLUGIN, "QEL_EVENT_PLUGIN not set");
    }
    for (const auto& entry : parsePluginEntries(*plugins)) {
        const std::string path = *libdir + "/" + entry.module;
        LOG4CXX_INFO(
            logger(), " Loading plugin module <" << path << "> with parameter <" << entry.parameter << ">");
        if (event_loadplugin(path.c_str(), entry.parameter.c_str()) != 0)
            KAV_THROW(rc::EVENT_PLUGIN_LOAD_FAILED, "event_loadplugin failed", { path, entry.parameter });
        LOG4CXX_INFO(logger(), " Loaded plugin module <" << path << ">");
    }
}

void EventNotification::fini()
{
    std::lock_guard lock(mutex_);
    if (initialised_)
        event_fini();
    initialised_ = false;
}

int32_t EventNotification::triggerEventInterface(int32_t code, const std::string& s1, const std::string& s2,
    const std::string& s3, const std::string& s4, const std::string& s5)
{
    const Params params { s1, s2, s3, s4, s5 };
    return raiseEvent(code, logText(static_cast<uint32_t>(code), params));
}

int32_t EventNotification::raiseEvent(int32_t code, const std::string& message)
{
    std::lock_guard lock(mutex_);
    return KAV_GUARDED([&] {
        if (!isRaisable(code))
            KAV_THROW(rc::EVENT_BAD_CODE, "event code refused", { std::to_string(code) });
        int32_t level = events::levelOf(code).value_or(0);
        if (initialised_ && event_getlevel4code(kComponent, code, &level) != 0)
            level = events::levelOf(code).value_or(0);
        logLocally(code, level, message);
        if (initialised_ && event_trigger(kComponent, code, message.c_str()) != 0)
            KAV_THROW(rc::EVENT_TRIGGER_FAILED, "event_trigger failed", { std::to_string(code) });
        return rc::OK;
    });
}

void EventNotification::logLocally(int32_t code, int32_t level, const std::string& message)
{
    const std::string line = "Code[S" + std::to_string(code) + "]: " + message;
    switch (level) {
    case 0:
        return;
    case 1:
        LOG4CXX_FATAL(logger(), line);
        return;
    case 2:
        LOG4CXX_ERROR(logger(), line);
        return;
    case 3:
        LOG4CXX_WARN(logger(), line);
        return;
    case 4:
        LOG4CXX_INFO(logger(), line);
        return;
    default:
        KAV_THROW(rc::EVENT_BAD_LEVEL, "event level out of range", { std::to_string(level) });
    }
}

} // namespace kav
