// libnotev: the event table, the threshold and the loaded plug-ins.

#include "platform/notev/notev.h"
#include "platform/notev/notev_plugin.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Plugin {
    void* library = nullptr;
    void* state = nullptr;
    notev_deliver_fn deliver = nullptr;
    notev_close_fn close = nullptr;
};

struct Registry {
    std::mutex mutex;
    bool initialised = false;
    int threshold = 0;
    std::vector<event_def> table;
    std::vector<Plugin> plugins;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

bool endsWith(const std::string& text, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

std::string withLibrarySuffix(const char* path)
{
    std::string file(path);
    const auto slash = file.find_last_of('/');
    const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    if (!endsWith(base, ".so") && base.find(".so.") == std::string::npos)
        file += ".so";
    return file;
}

const event_def* findRow(const Registry& r, const char* component, int32_t code)
{
    for (const auto& row : r.table)
        if (row.code == code && row.component && std::strcmp(row.component, component) == 0)
            return &row;
    return nullptr;
}

// Runs use(row) under the registry lock once the arguments, the state and
// the row have passed the checks every look-up by code shares.
template <typename Use>
int withRow(const char* component, int32_t code, bool argumentsValid, Use use)
{
    if (!component || !argumentsValid)
        return EVENT_E_INVALID;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.initialised)
        return EVENT_E_STATE;
    const event_def* row = findRow(r, component, code);
    if (!row)
        return EVENT_E_UNKNOWN;
    return use(r, *row);
}

bool passesThreshold(int threshold, int32_t level)
{
    return threshold == 0 || level <= threshold;
}

void closePlugin(Plugin& plugin)
{
    if (plugin.close)
        plugin.close(plugin.state);
    if (plugin.library)
        dlclose(plugin.library);
}

} // namespace

extern "C" {

int event_init(const char* appName, int rowCount, const struct event_def* table)
{
    if (!appName || rowCount <= 0 || !table)
        return EVENT_E_INVALID;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.initialised)
        return EVENT_E_STATE;
    r.table.assign(table, table + rowCount);
    r.initialised = true;
    return EVENT_OK;
}

void event_setthreshold(int threshold)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.threshold = threshold;
}

int event_getthreshold(void)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.threshold;
}

int event_loadplugin(const char* path, const char* param)
{
    if (!path || !*path)
        return EVENT_E_INVALID;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.initialised)
        return EVENT_E_STATE;
    Plugin plugin;
    plugin.library = dlopen(withLibrarySuffix(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin.library)
        return EVENT_E_LOAD;
    auto open = reinterpret_cast<notev_open_fn>(dlsym(plugin.library, "notev_plugin_open"));
    plugin.deliver = reinterpret_cast<notev_deliver_fn>(dlsym(plugin.library, "notev_plugin_deliver"));
    plugin.close = reinterpret_cast<notev_close_fn>(dlsym(plugin.library, "notev_plugin_close"));
    if (!open || !plugin.deliver || !plugin.close) {
        dlclose(plugin.library);
        return EVENT_E_LOAD;
    }
    if (open(param ? param : "", &plugin.state) != 0) {
        dlclose(plugin.library);
        return EVENT_E_PLUGIN;
    }
    r.plugins.push_back(plugin);
    return EVENT_OK;
}

int event_getlevel4code(const char* component, int32_t code, int32_t* level)
{
    return withRow(component, code, level != nullptr, [level](Registry&, const event_def& row) -> int {
        *level = row.level;
        return EVENT_OK;
    });
}

int event_trigger(const char* component, int32_t code, const char* text)
{
    return withRow(component, code, text != nullptr, [&](Registry& r, const event_def& row) -> int {
        if (!row.enabled || !passesThreshold(r.threshold, row.level))
            return EVENT_OK;
        notev_event event {};
        clock_gettime(CLOCK_REALTIME, &event.time);
        event.component = component;
        event.code = code;
        event.level = row.level;
        event.text = text;
        int result = EVENT_OK;
        for (auto& plugin : r.plugins)
            if (plugin.deliver(plugin.state, &event) != 0)
                result = EVENT_E_PLUGIN;
        return result;
    });
}

void event_fini(void)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& plugin : r.plugins)
        closePlugin(plugin);
    r.plugins.clear();
    r.table.clear();
    r.initialised = false;
}

} // extern "C"
