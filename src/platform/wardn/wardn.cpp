// libwardn: loading of the security plug-in and the server-side contexts.

#include "platform/wardn/wardn.h"
#include "platform/wardn/wardn_plugin.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

constexpr size_t kTokenSize = 256;
constexpr size_t kUserSize = 256;

struct LoadedPlugin {
    std::mutex mutex; // guards load and unload; authentication does not take it
    void* library = nullptr;
    const wardn_plugin* ops = nullptr;
    void* state = nullptr;
    int contexts = 0;
};

LoadedPlugin& plugin()
{
    static LoadedPlugin instance;
    return instance;
}

struct ServerContext {
    uint64_t serial; // never reused, unlike addresses
    const wardn_plugin* ops;
    void* pluginContext;
};

std::atomic<uint64_t> nextSerial { 1 };

// The user each context last authenticated on this thread.
std::unordered_map<uint64_t, std::string>& threadUsers()
{
    thread_local std::unordered_map<uint64_t, std::string> users;
    return users;
}

void unload(LoadedPlugin& p)
{
    if (p.ops && p.ops->fini)
        p.ops->fini(p.state);
    if (p.library)
        dlclose(p.library);
    p.library = nullptr;
    p.ops = nullptr;
    p.state = nullptr;
}

bool isComplete(const wardn_plugin* ops)
{
    return ops && ops->init && ops->server_init && ops->server_fini && ops->server_start;
}

} // namespace

extern "C" {

int sec_initialize(const char* pluginFile, const char* conf)
{
    if (!pluginFile || !*pluginFile)
        return SEC_E_INVALID;
    auto& p = plugin();
    std::lock_guard lock(p.mutex);
    if (p.library)
        return SEC_E_STATE;
    p.library = dlopen(pluginFile, RTLD_NOW | RTLD_LOCAL);
    if (!p.library)
        return SEC_E_LOAD;
    auto entry = reinterpret_cast<wardn_plugin_entry_fn>(dlsym(p.library, "wardn_plugin_entry"));
    p.ops = entry ? entry() : nullptr;
    if (!isComplete(p.ops)) {
        p.ops = nullptr;
        unload(p);
        return SEC_E_LOAD;
    }
    if (p.ops->init(conf, &p.state) != 0) {
        p.ops = nullptr; // init failed: no fini owed
        unload(p);
        return SEC_E_PLUGIN;
    }
    return SEC_OK;
}

int sec_finalize(void)
{
    auto& p = plugin();
    std::lock_guard lock(p.mutex);
    if (!p.library || p.contexts > 0)
        return SEC_E_STATE;
    unload(p);
    return SEC_OK;
}

int sec_server_initialize(void** context, int flags)
{
    if (!context || flags != 0)
        return SEC_E_INVALID;
    auto& p = plugin();
    std::lock_guard lock(p.mutex);
    if (!p.library)
        return SEC_E_STATE;
    void* pluginContext = nullptr;
    if (p.ops->server_init(p.state, &pluginContext) != 0)
        return SEC_E_PLUGIN;
    *context = new ServerContext { nextSerial++, p.ops, pluginContext };
    ++p.contexts;
    return SEC_OK;
}

int sec_server_start(
    void* context, const void* input, size_t inputLength, void** output, size_t* outputLength)
{
    if (!context || (!input && inputLength > 0) || !output || !outputLength)
        return SEC_E_INVALID;
    *output = nullptr;
    *outputLength = 0;
    auto* ctx = static_cast<ServerContext*>(context);
    char token[kTokenSize] = {};
    char user[kUserSize] = {};
    const int result = ctx->ops->server_start(
        ctx->pluginContext, input, inputLength, token, sizeof token, user, sizeof user);
    auto& users = threadUsers();
    users.erase(ctx->serial);
    if (result == SEC_DONE) {
        users[ctx->serial] = user;
        const size_t length = strnlen(token, sizeof token);
        *output = std::malloc(length + 1);
        if (!*output)
            return SEC_E_PLUGIN;
        std::memcpy(*output, token, length + 1);
        *outputLength = length;
    }
    explicit_bzero(token, sizeof token);
    return result;
}

int sec_remote_username(void* context, const char** name)
{
    if (!context || !name)
        return SEC_E_INVALID;
    auto& users = threadUsers();
    const auto it = users.find(static_cast<ServerContext*>(context)->serial);
    if (it == users.end())
        return SEC_E_NO_USER;
    *name = it->second.c_str();
    return SEC_OK;
}

int sec_server_finalize(void* context)
{
    if (!context)
        return SEC_E_INVALID;
    auto* ctx = static_cast<ServerContext*>(context);
    auto& p = plugin();
    std::lock_guard lock(p.mutex);
    ctx->ops->server_fini(ctx->pluginContext);
    threadUsers().erase(ctx->serial);
    delete ctx;
    --p.contexts;
    return SEC_OK;
}

void sec_free(void* block)
{
    std::free(block);
}

} // extern "C"
