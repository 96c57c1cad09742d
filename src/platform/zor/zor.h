#pragma once
// libzor: client library of the cluster resource manager.
//
// Behind these calls sits an embedded cluster described by a TOML file (see
// docs/cluster.md): ZOR_CLUSTER_FILE, else ${QEL_TOP}/conf/cluster.toml when it
// exists, else the local host alone. Containers are local child processes.
// With [cluster] backend = "slurm" the hosts, groups, allocations and
// containers are a Slurm cluster's nodes, partitions, jobs and job steps
// (docs/slurm.md).
//
// Conventions:
// - Every call returns 0 (or a non-null pointer) on success. On failure it
//   returns -1 (or null) and sets zorerrno, which is thread-local; its text is
//   zor_strerror(zorerrno). When the cluster file is malformed every call fails
//   with ZORE_CONF and zor_strerror(ZORE_CONF) names the file, line and key.
// - Strings and arrays handed out by the library are freed with the matching
//   zor_free_* call; strings returned as "const char*" belong to the library
//   and live until the process ends.
// - Thread-safety: every call may come from any thread. Callbacks run on the
//   library's own threads and never while a library lock is held, so a
//   callback may call back into the library.
// - The library does not verify credentials; it keeps the credential a handle
//   logged on with and hands it to the containers that handle starts.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------- errors

enum zor_error {
    ZORE_OK = 0,
    ZORE_BADARG = 1, // null or empty argument, bad number
    ZORE_NOMEM = 2,
    ZORE_CONF = 3, // the cluster file is malformed
    ZORE_BADHANDLE = 4, // handle closed or never opened
    ZORE_NOTLOGGEDON = 5, // the call needs zor_logon first
    ZORE_NOTREGISTERED = 6, // the call needs zor_register2 first
    ZORE_ALREADYREG = 7, // the handle is already registered
    ZORE_BADCONSUMER = 8, // consumer path not in the cluster description
    ZORE_NOSUCHGROUP = 9, // resource group unknown
    ZORE_BADRESREQ = 10, // resource requirement not understood
    ZORE_NOSUCHALLOC = 11, // allocation identifier unknown (or not this handle's)
    ZORE_NOTOWNED = 12, // host slot not held by the allocation
    ZORE_NOSUCHHOST = 13,
    ZORE_HOSTUNAVAIL = 14, // host marked unavailable
    ZORE_STARTFAIL = 15, // the container could not be started
    ZORE_NOSUCHCONTAINER = 16,
    ZORE_NOSUCHUSER = 17, // user holds no role
    ZORE_NOTFOUND = 18, // no URL registered under the client name
    ZORE_ZORKD_DOWN = 19, // the manager's kernel is not reachable; retry later
    ZORE_SYSERR = 20, // an operating-system call failed (see errno text)
    ZORE_ALLOCEXISTS = 21 // the consumer already holds an allocation
};

// The calling thread's last error number (like errno).
int* zor_errno_location(void);
#define zorerrno (*zor_errno_location())

// Text of an error number; for the calling thread's last error the text
// carries its details (file/line/key of a malformed cluster file, the errno
// text of a failed system call, ...).
const char* zor_strerror(int err);

// ---------------------------------------------------------------- handles

typedef struct zor_handle zor_handle_t; // opaque connection handle

// Option record of zor_open; pass it zeroed.
typedef struct zor_openopt {
    uint32_t flags;
    uint32_t reserved;
} zor_openopt_t;

zor_handle_t* zor_open(const zor_openopt_t* opt);
// Closing a registered handle unregisters it: its allocation is freed and its
// containers are killed and reaped before the call returns.
int zor_close(zor_handle_t* h);

// Logs on. user and password are unused (pass null); credential is the
// "user:password" bytes the service account logs on with.
int zor_logon(zor_handle_t* h, const char* user, const char* password, const char* credential);
int zor_logoff(zor_handle_t* h);
// A copy of the credential the handle is logged on with (free with
// zor_free_string); null when not logged on.
char* zor_getcredential(zor_handle_t* h);
// Renews the credential that the consumer's containers are started with from
// the credential the handle is logged on with now.
int zor_refreshcredential(zor_handle_t* h, const char* consumer);

// ---------------------------------------------------------------- records

typedef struct zor_attr {
    char* name;
    char* value;
} zor_attr_t;

// Slots of one host inside an allocation; attributes "type" (host type) and
// "cpuf" (CPU factor, decimal text).
typedef struct zor_hostslots {
    char* hostName;
    int32_t slots;
    int32_t nattr;
    zor_attr_t* attrs;
} zor_hostslots_t;

typedef struct zor_allocation {
    char* allocId;
    char* consumer;
    int32_t nhost;
    zor_hostslots_t* hosts;
} zor_allocation_t;

// Slots the manager takes back from an allocation.
typedef struct zor_reclaim {
    char* allocId;
    int32_t nhost;
    zor_hostslots_t* hosts; // no attributes
} zor_reclaim_t;

typedef struct zor_reclaimlist {
    int32_t nreclaim;
    zor_reclaim_t* reclaims;
} zor_reclaimlist_t;

// Container states.
enum zor_container_state {
    ZOR_CONTAINER_NULL = 0,
    ZOR_CONTAINER_START = 1,
    ZOR_CONTAINER_RUN = 2,
    ZOR_CONTAINER_SUSPEND = 3,
    ZOR_CONTAINER_FINISH = 4,
    ZOR_CONTAINER_UNKNOWN = 5,
    ZOR_CONTAINER_ZOMBIE = 6
};

// Why a container finished (zor_strexitreason gives the text).
enum zor_exit_reason {
    ZOR_EXIT_NONE = 0, // still running
    ZOR_EXIT_NORMAL = 1, // exited; exitStatus holds its status
    ZOR_EXIT_SIGNALED = 2, // killed by a signal; exitStatus holds the signal
    ZOR_EXIT_KILLED = 3, // killed by zor_signalcontainer or by closing the handle
    ZOR_EXIT_STARTFAIL = 4 // the command could not be run
};

typedef struct zor_container {
    char* containerId;
    char* hostName;
    char* allocId;
    int32_t state; // enum zor_container_state
    int32_t exitReason; // enum zor_exit_reason
    int32_t exitStatus;
} zor_container_t;

// Reply of zor_register2: an allocation of the consumer path that no
// registered handle holds any more, with its containers, is handed to the new
// handle. Handles registered on the same path at the same time keep their own
// allocations apart.
typedef struct zor_allocreply {
    int32_t nallocation;
    zor_allocation_t* allocations;
    int32_t nreclaim;
    zor_reclaim_t* reclaims;
    int32_t ncontainer;
    zor_container_t* containers;
} zor_allocreply_t;
void zor_free_allocreply(zor_allocreply_t* reply);

// Host states.
enum zor_host_state {
    ZOR_HOST_OK = 0,
    ZOR_HOST_UNAVAIL = 1,
    ZOR_HOST_CLOSE = 2,
    ZOR_HOST_REMOVED = 3,
    ZOR_HOST_INACTIVE = 4
};

// ---------------------------------------------------------------- registration

// The seven callbacks, in this order. Each gets the handle and the context of
// the registration request. Records passed in are valid during the call only.
typedef void (*zor_resadd_cb)(zor_handle_t* h, void* ctx, const zor_allocation_t* added);
typedef void (*zor_reclaim_cb)(zor_handle_t* h, void* ctx, const zor_reclaimlist_t* reclaimed);
typedef void (*zor_containerstate_cb)(zor_handle_t* h, void* ctx, const zor_container_t* container);
typedef void (*zor_hoststate_cb)(zor_handle_t* h, void* ctx, const char* hostName, int32_t state);
typedef void (*zor_connection_cb)(zor_handle_t* h, void* ctx);

typedef struct zor_callbacks {
    zor_resadd_cb resourceAdded;
    zor_reclaim_cb reclaimForce;
    zor_containerstate_cb containerStateChange;
    zor_hoststate_cb hostStateChange;
    zor_connection_cb connectionLost;
    zor_connection_cb connectionOk;
    zor_connection_cb connectionFailed;
} zor_callbacks_t;

enum zor_register_flags {
    ZOR_REG_CONSUMER = 4, // register a consumer path
    ZOR_REG_SCHEDULE = 2 // scheduleInterval is set
};

typedef struct zor_regreq {
    const char* name; // consumer path, or a client name for a URL
    const char* description; // free text; the URL for a URL registration
    int32_t flags; // ZOR_REG_CONSUMER [| ZOR_REG_SCHEDULE], or 0 for a URL
    int32_t scheduleInterval; // seconds
    void* context; // handed to every callback
} zor_regreq_t;

// flags include ZOR_REG_CONSUMER: registers the handle as the consumer
// req->name (which must be a valid consumer path); *reply (may be null) gets
// what the path already holds. flags without ZOR_REG_CONSUMER: registers the
// URL req->description under the client name req->name, persisted so that
// other processes find it with zor_lookupurl; callbacks and reply are unused.
int zor_register2(
    zor_handle_t* h, const zor_regreq_t* req, const zor_callbacks_t* callbacks, zor_allocreply_t** reply);
// Gives back the allocation, kills the containers and drops the callbacks.
int zor_unregister(zor_handle_t* h);

// The URL registered under a client name (free with zor_free_string); null
// with ZORE_NOTFOUND when none is.
char* zor_lookupurl(const char* clientName);

// ---------------------------------------------------------------- allocation

typedef struct zor_allocreq {
    const char* consumer;
    const char* resourceGroup;
    const char* resReq; // "" or null for any
    const char* hostType; // "" or null for any type
    int32_t minSlots;
    int32_t maxSlots;
    int32_t flags; // unused, 0
} zor_allocreq_t;

// Asks for slots; *allocId gets the allocation identifier (free with
// zor_free_string). Slots arrive through resourceAdded on a library thread,
// never during this call.
int zor_alloc(zor_handle_t* h, const zor_allocreq_t* req, char** allocId);
int zor_realloc(zor_handle_t* h, const char* allocId, int32_t newMax);
int zor_allocfree(zor_handle_t* h, const char* allocId);
// Flags of zor_release.
enum zor_release_flags {
    ZOR_RELEASE_SHRINK = 0, // the allocation's maximum shrinks by the slots given back
    ZOR_RELEASE_REPLACE = 1 // the maximum stays; the host is not offered to this allocation again
};
// Gives slots back; they go to allocations still waiting for slots. Fails
// with ZORE_NOTOWNED when a host does not hold that many slots (nothing is
// given back then).
int zor_release(
    zor_handle_t* h, const char* allocId, int32_t nhost, const zor_hostslots_t* hosts, int32_t flags);

// ---------------------------------------------------------------- containers

typedef struct zor_containerSpec zor_containerSpec_t; // opaque
typedef struct zor_containerId {
    char* id;
} zor_containerId_t;

// env: nenv entries "NAME=value"; ${VAR} references in command, work directory
// and values are expanded on the host's side. attrs: e.g. "container_name".
zor_containerSpec_t* zor_create_containerSpec(const char* command, const char* runAsUser, const char* workDir,
    int32_t nenv, const char* const* env, int32_t nattr, const zor_attr_t* attrs);
void zor_free_containerSpec(zor_containerSpec_t* spec);

// Starts the container on a host that the allocation holds a slot of.
zor_containerId_t* zor_startcontainer(
    zor_handle_t* h, const char* allocId, const char* hostName, const zor_containerSpec_t* spec);
void zor_free_containerId(zor_containerId_t* id);

enum zor_signal {
    ZOR_SIG_TERM = 1, // asks the container to end (SIGTERM to its process group)
    ZOR_SIG_KILL = 7 // kills the container (SIGKILL to its process group)
};
int zor_signalcontainer(zor_handle_t* h, const char* containerId, int32_t sig);

const char* zor_strexitreason(int32_t exitReason);

// ---------------------------------------------------------------- cluster description

typedef struct zor_hostgroup {
    char* name;
    int32_t nhost;
    char** hosts; // host-name order
} zor_hostgroup_t;
int zor_gethostgroupinfo(zor_handle_t* h, const char* group, zor_hostgroup_t** info);
void zor_free_hostgroup(zor_hostgroup_t* info);
// *groups gets the names of every resource group, in name order (free with
// zor_free_string_array).
int zor_gethostgroups(zor_handle_t* h, char*** groups, int32_t* ngroups);
// *consumers gets the consumer paths the description lists, normalised, in
// the file's order (free with zor_free_string_array); their ancestors are
// consumers too. The built-in description lists none: it accepts every path.
int zor_getconsumers(zor_handle_t* h, char*** consumers, int32_t* nconsumers);
void zor_free_string_array(char** strings, int32_t n);

enum zor_role_level { ZOR_ROLE_CLUSTER_ADMIN = 1, ZOR_ROLE_CONSUMER_ADMIN = 2, ZOR_ROLE_CONSUMER_USER = 3 };
typedef struct zor_role {
    char* consumer;
    int32_t level;
} zor_role_t;
// *roles gets the user's roles (free with zor_free_role_array); a user
// without any role fails with ZORE_NOSUCHUSER.
int zor_getroles4user(zor_handle_t* h, const char* user, zor_role_t** roles, int32_t* nroles);
void zor_free_role_array(zor_role_t* roles, int32_t nroles);

// 0 when the path is a consumer of the description (group may be null; when
// given it must exist). With the built-in description every path is valid.
int zor_verifyconsumerpath(const char* consumer, const char* group);
// Accepts "", "any" and "type==NAME" with a known host type.
int zor_verifyresreq(const char* resReq);

// A configuration parameter ([params] of the cluster file), or null.
const char* zor_getconfparam(const char* name);

typedef struct zor_uname {
    const char* hostName; // the local host
    const char* clusterName; // the cluster file, or "embedded" for the built-in description
    float version; // e.g. 1.2
    uint16_t patch;
} zor_uname_t;
const zor_uname_t* zor_uname(void);

// Memory the library frees (with zor_free_string).
void* zor_malloc(size_t size);
void zor_free_string(char* s);

#ifdef __cplusplus
}
#endif
