#pragma once
// The contract between libnotev and an event plug-in (a shared object loaded
// by event_loadplugin). A plug-in exports these three C functions:
//
//   int  notev_plugin_open(const char* param, void** state);
//        0 when ready; *state is handed back to the other two calls.
//   int  notev_plugin_deliver(void* state, const struct notev_event* event);
//        0 when the event was delivered.
//   void notev_plugin_close(void* state);
//        releases the state; the library unloads the object afterwards.
//
// The library calls them under its own mutex (never concurrently within one
// process). Other processes may use the same destination at the same time.

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct notev_event {
    struct timespec time; // wall-clock time of event_trigger
    const char* component;
    int32_t code;
    int32_t level;
    const char* text;
};

typedef int (*notev_open_fn)(const char* param, void** state);
typedef int (*notev_deliver_fn)(void* state, const struct notev_event* event);
typedef void (*notev_close_fn)(void* state);

#ifdef __cplusplus
}
#endif
