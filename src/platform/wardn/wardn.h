#pragma once
// libwardn: the security library. sec_initialize loads one security plug-in
// for the process; the server side then authenticates logon credentials on a
// context created by sec_server_initialize.
//
// Thread-safety: sec_initialize, sec_finalize, sec_server_initialize and
// sec_server_finalize run on one thread while no authentication is under
// way. sec_server_start and sec_remote_username may run on many threads at
// once on one shared context: the user name that sec_remote_username gives
// is the one authenticated last by the calling thread on that context.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SEC_OK = 0,
    SEC_DONE = 9, // sec_server_start: handshake complete, user authenticated
    SEC_CONTINUE = 10, // sec_server_start: another round needed (not used by our plug-ins)
    SEC_DENIED = 11, // sec_server_start: unknown user or wrong password
    SEC_MALFORMED = 12, // sec_server_start: the credential is not understood
    SEC_E_INVALID = -22, // bad argument
    SEC_E_STATE = -1, // no plug-in loaded, or one loaded already
    SEC_E_LOAD = -2, // plug-in cannot be opened or lacks its entry point
    SEC_E_PLUGIN = -3, // the plug-in refused its configuration or failed
    SEC_E_NO_USER = -4, // sec_remote_username: nothing authenticated on this thread
};

// Loads the plug-in file (a path, or a name searched by the dynamic loader)
// and hands it the configuration text (may be null).
int sec_initialize(const char* pluginFile, const char* conf);
// Unloads the plug-in. Every server context must have been finalised first.
int sec_finalize(void);

// Creates a server context in *context; flags must be 0.
int sec_server_initialize(void** context, int flags);
// One handshake round: input is the client's credential. On return *output
// holds a block of *outputLength bytes allocated by the library (the answer
// token when the result is SEC_DONE); the caller releases it with sec_free.
int sec_server_start(
    void* context, const void* input, size_t inputLength, void** output, size_t* outputLength);
// The user authenticated by this thread's last successful sec_server_start on
// context. *name stays valid until the thread's next call on the context.
int sec_remote_username(void* context, const char** name);
int sec_server_finalize(void* context);

// Releases an output block of sec_server_start.
void sec_free(void* block);

#ifdef __cplusplus
}
#endif
