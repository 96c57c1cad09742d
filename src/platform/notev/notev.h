#pragma once
// libnotev: the event library. A product registers its event table once,
// sets a severity threshold, loads delivery plug-ins and then triggers events
// by component and code; the library forwards each event that passes the
// threshold to every loaded plug-in.
//
// Levels follow the severity order of the event table: 1 fatal, 2 error,
// 3 warning, 4 information (a smaller number is more severe). Threshold T
// passes events whose level is at most T; threshold 0 (the default) passes
// every event.
//
// Thread-safety: every call may come from any thread; the library serialises
// them with one internal mutex, so plug-ins are never entered concurrently
// from one process.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// One row of an event table. The strings must outlive the registration
// (event_init keeps the pointers until event_fini).
struct event_def {
    const char* component;
    int32_t code;
    const char* name;
    int32_t level;
    int32_t enabled; // 1 in every row of our tables
    const char* description;
    int32_t reserved; // 1 in every row of our tables
};

enum {
    EVENT_OK = 0,
    EVENT_E_INVALID = -22, // bad argument (null pointer, empty table)
    EVENT_E_STATE = -1, // not initialised / already initialised
    EVENT_E_UNKNOWN = -2, // component and code not in the table
    EVENT_E_LOAD = -3, // plug-in cannot be opened or lacks its entry points
    EVENT_E_PLUGIN = -4, // a plug-in refused its parameter or an event
};

// Registers the table under the application name. Returns 0, or
// EVENT_E_STATE when already initialised.
int event_init(const char* appName, int rowCount, const struct event_def* table);

// Sets the threshold (see above). Allowed before event_init as well.
void event_setthreshold(int threshold);
int event_getthreshold(void);

// Loads a plug-in; path gets the system's shared-library suffix (".so")
// appended when it has none. The plug-in receives param. Returns 0 or
// EVENT_E_LOAD / EVENT_E_PLUGIN / EVENT_E_STATE.
int event_loadplugin(const char* path, const char* param);

// Fills *level with the level registered for component and code.
int event_getlevel4code(const char* component, int32_t code, int32_t* level);

// Delivers the event to every plug-in, or drops it silently (result 0) when
// its level is below the threshold. Returns EVENT_E_PLUGIN when a plug-in
// failed to deliver it (the others still get it).
int event_trigger(const char* component, int32_t code, const char* text);

// Closes every plug-in and forgets the table. Safe to call when not initialised.
void event_fini(void);

#ifdef __cplusplus
}
#endif
