// Event plug-in "event_syslog": hands every event to the system log. The
// parameter is the ident under which the entries appear.

#include "platform/notev/notev_plugin.h"

#include <syslog.h>

#include <string>

namespace {

struct SyslogState {
    std::string ident; // openlog keeps the pointer, so the text lives here
};

int priorityFor(int32_t level)
{
    switch (level) {
    case 1:
        return LOG_CRIT;
    case 2:
        return LOG_ERR;
    case 3:
        return LOG_WARNING;
    case 4:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

} // namespace

extern "C" {

int notev_plugin_open(const char* param, void** state)
{
    auto* s = new SyslogState { param && *param ? param : "notev" };
    openlog(s->ident.c_str(), LOG_PID, LOG_DAEMON);
    *state = s;
    return 0;
}

int notev_plugin_deliver(void* state, const notev_event* event)
{
    (void)state;
    syslog(
        priorityFor(event->level), "%s %d: %s", event->component, static_cast<int>(event->code), event->text);
    return 0;
}

void notev_plugin_close(void* state)
{
    closelog();
    delete static_cast<SyslogState*>(state);
}

} // extern "C"
