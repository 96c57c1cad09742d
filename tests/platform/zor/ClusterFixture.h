#pragma once
// Test support for the embedded cluster: a scratch directory with a cluster
// file and state directory, made current through ZOR_CLUSTER_FILE and read
// anew through the administrator's side (ClusterAdmin), a recorder of
// library callbacks that tests wait on, and a registered consumer handle.

#include "platform/zor/ClusterAdmin.h"
#include "platform/zor/zor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zortest {

inline constexpr std::chrono::seconds kWait { 20 };

class ScratchCluster {
public:
    ScratchCluster()
    {
        char pattern[] = "/tmp/zortest.XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    ~ScratchCluster()
    {
        unsetenv("ZOR_CLUSTER_FILE");
        zor::ClusterAdmin::reload();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }
    std::string stateDir() const { return dir_ + "/state"; }

    // Writes the file (state_dir first) and makes the library read it.
    void use(const std::string& body)
    {
        std::string file = dir_ + "/cluster.toml";
        std::ofstream(file) << "[cluster]\nstate_dir = \"" << stateDir() << "\"\n" << body;
        setenv("ZOR_CLUSTER_FILE", file.c_str(), 1);
        zor::ClusterAdmin::reload();
    }
    // Writes the text as it is (for malformed files).
    std::string useRaw(const std::string& text)
    {
        std::string file = dir_ + "/bad.toml";
        std::ofstream(file) << text;
        setenv("ZOR_CLUSTER_FILE", file.c_str(), 1);
        zor::ClusterAdmin::reload();
        return file;
    }

private:
    std::string dir_;
};

// Three linux hosts in "G3", one aix host; used by most tests.
inline const char* kThreeHosts = R"(
[params]
QEL_EVENT_MASK = "7"
[[hosts]]
name = "hostb"
type = "linux"
cpuf = 2.5
[[hosts]]
name = "hosta"
type = "linux"
[[hosts]]
name = "hostc"
type = "linux"
slots = 2
[[hosts]]
name = "aix1"
type = "aix"
[groups]
G3 = ["hostc", "hosta", "hostb"]
AIX = ["aix1"]
[[consumers]]
path = "/apps/web"
[[consumers]]
path = "/apps/db"
[[roles]]
user = "alice"
consumer = "/apps"
level = 2
[[roles]]
user = "bob"
consumer = "/apps/web"
level = 3
)";

// Waits for a predicate over state guarded by one mutex.
class Waiter {
public:
    template <class F> void update(F&& f)
    {
        // Notifies under the lock: a waiter that wakes may destroy the object.
        std::lock_guard lock(mutex_);
        f();
        cv_.notify_all();
    }
    template <class P> bool waitFor(P&& predicate)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWait, predicate);
    }
    std::mutex& mutex() { return mutex_; }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

// Records every callback of one registration.
struct Recorder : Waiter {
    struct Grant {
        std::string host, type, cpuf;
        int slots;
    };
    std::vector<Grant> grants;
    std::vector<zor_container_t> states; // strings not kept
    std::vector<std::string> stateIds;
    std::map<std::string, int> hostStates;
    std::thread::id callbackThread;

    static zor_callbacks_t table()
    {
        zor_callbacks_t t {};
        t.resourceAdded = [](zor_handle_t*, void* ctx, const zor_allocation_t* a) {
            auto* r = static_cast<Recorder*>(ctx);
            r->update([&] {
                r->callbackThread = std::this_thread::get_id();
                for (int i = 0; i < a->nhost; ++i) {
                    Grant g { a->hosts[i].hostName, "", "", a->hosts[i].slots };
                    for (int k = 0; k < a->hosts[i].nattr; ++k)
                        (std::string(a->hosts[i].attrs[k].name) == "type" ? g.type : g.cpuf)
                            = a->hosts[i].attrs[k].value;
                    r->grants.push_back(g);
                }
            });
        };
        t.containerStateChange = [](zor_handle_t*, void* ctx, const zor_container_t* c) {
            auto* r = static_cast<Recorder*>(ctx);
            r->update([&] {
                zor_container_t copy = *c;
                copy.containerId = copy.hostName = copy.allocId = nullptr;
                r->states.push_back(copy);
                r->stateIds.push_back(c->containerId);
            });
        };
        t.hostStateChange = [](zor_handle_t*, void* ctx, const char* host, int32_t state) {
            auto* r = static_cast<Recorder*>(ctx);
            r->update([&] { r->hostStates[host] = state; });
        };
        return t;
    }

    int granted()
    {
        int n = 0;
        for (auto& g : grants)
            n += g.slots;
        return n;
    }
    bool finished(const std::string& id, zor_container_t* out)
    {
        for (size_t i = 0; i < states.size(); ++i)
            if (stateIds[i] == id && states[i].state == ZOR_CONTAINER_FINISH) {
                *out = states[i];
                return true;
            }
        return false;
    }
};

// One logged-on handle registered as a consumer.
class Consumer {
public:
    explicit Consumer(const char* path, const char* credential = "svc:secret")
    {
        zor_openopt_t opt {};
        handle = zor_open(&opt);
        EXPECT_NE(handle, nullptr) << zor_strerror(zorerrno);
        EXPECT_EQ(zor_logon(handle, nullptr, nullptr, credential), 0);
        zor_callbacks_t cb = Recorder::table();
        zor_regreq_t req { path, "test", ZOR_REG_CONSUMER, 0, &recorder };
        EXPECT_EQ(zor_register2(handle, &req, &cb, &reply), 0) << zor_strerror(zorerrno);
        consumer = path;
    }
    ~Consumer()
    {
        zor_free_allocreply(reply);
        if (handle)
            zor_close(handle);
    }
    std::string alloc(const char* group, int maxSlots, const char* type = "any")
    {
        zor_allocreq_t req { consumer.c_str(), group, "", type, 1, maxSlots, 0 };
        char* id = nullptr;
        EXPECT_EQ(zor_alloc(handle, &req, &id), 0) << zor_strerror(zorerrno);
        std::string out = id ? id : "";
        zor_free_string(id);
        return out;
    }
    zor_containerId_t* start(const std::string& allocId, const char* host, const std::string& command,
        std::vector<const char*> env = {})
    {
        zor_attr_t attr { const_cast<char*>("container_name"), const_cast<char*>("test") };
        zor_containerSpec_t* spec = zor_create_containerSpec(
            command.c_str(), nullptr, "${QEL_TOP}/work", static_cast<int>(env.size()), env.data(), 1, &attr);
        zor_containerId_t* id = zor_startcontainer(handle, allocId.c_str(), host, spec);
        zor_free_containerSpec(spec);
        return id;
    }

    zor_handle_t* handle = nullptr;
    zor_allocreply_t* reply = nullptr;
    std::string consumer;
    Recorder recorder;
};

} // namespace zortest
