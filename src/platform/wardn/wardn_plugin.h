#pragma once
// The contract between libwardn and a security plug-in. A plug-in exports
//
//   const struct wardn_plugin* wardn_plugin_entry(void);
//
// returning a table of the operations below, valid until the plug-in is
// unloaded. server_start may run on many threads at once on one context.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct wardn_plugin {
    // Called once after loading; conf is the configuration text (may be null).
    int (*init)(const char* conf, void** pluginState);
    void (*fini)(void* pluginState);
    int (*server_init)(void* pluginState, void** context);
    void (*server_fini)(void* context);
    // Checks one credential. Returns SEC_DONE and fills token (NUL-terminated,
    // at most tokenSize bytes with the NUL) and user (same rule), or another
    // result of wardn.h. Never keeps the credential.
    int (*server_start)(void* context, const void* input, size_t inputLength, char* token, size_t tokenSize,
        char* user, size_t userSize);
};

typedef const struct wardn_plugin* (*wardn_plugin_entry_fn)(void);

#ifdef __cplusplus
}
#endif
