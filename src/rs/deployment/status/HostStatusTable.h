#pragma once
// The host status table: for every package, the deployment state of each of
// its hosts, and every transition between those states.
//
// Thread-safety: every operation takes the table's recursive mutex for its
// whole run; installer threads, resource callbacks and request workers call
// in concurrently. The sink is called with the mutex held. Callers never hold
// the mutex across a call into the resource manager (use the handles that
// getVRMByStatus returns after it has released the mutex).
//
// Ownership: the table owns its entries; each entry holds one reference on
// its resource handle until clearVRM, a reset or the entry's removal.

#include "rs/deployment/status/HostStatusEntry.h"
#include "rs/deployment/status/IHostStatusSink.h"

#include "common/KavErrorInfo.h"
#include "interfaces/types/DplStatusList.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rs {

class HostStatusTable {
public:
    // Seconds since 1970; injected so that time-outs can be tested.
    using Clock = std::function<int32_t()>;

    // Status filters of getHMStatus besides exact states.
    static constexpr uint32_t kFilterAll = 0;
    static constexpr uint32_t kFilterAllocation = 2; // ALLOCATING, ALLOCATED
    static constexpr uint32_t kFilterInProgress = 5; // DOWNLOADING, RUNNING
    static constexpr uint32_t kFilterFinished = 7; // INSTALLED, UNINSTALLED

    // REQUIRES: sink outlives the table. A null clock means the wall clock.
    explicit HostStatusTable(IHostStatusSink& sink, Clock clock = {});
    HostStatusTable(const HostStatusTable&) = delete;
    HostStatusTable& operator=(const HostStatusTable&) = delete;

    // Runs `changes` (calls on this table from this thread) holding the
    // table, and hands what they change of `package` to the sink as one
    // change: a thousand hosts entered at once are one write, not a
    // thousand writes of a growing file.
    void changeTogether(const std::string& package, const std::function<void()>& changes);

    // Creates or replaces the host's entry in ALLOCATING; an existing entry
    // hands on its state (and, in ERROR, its error text); a resource turns
    // ALLOCATING into ALLOCATED. True when the entry ends ALLOCATED.
    bool createHMElement(const std::string& package, const std::string& host, const std::string& userName,
        ResourceHandle resource, bool uninstall);

    static constexpr int kUpdated = 0;
    static constexpr int kNoEntry = -1;
    static constexpr int kStateFinal = -2;
    // Applies a state within a run of the kind `uninstall` names. `error`
    // (may be null) gives the error text.
    int updateHMStatus(const std::string& package, const std::string& host, const std::string& userName,
        uint32_t newState, const kav::IKavErrorInfo* error, bool uninstall);
    // A deploy command's report (setPackageStatus, or the loss of its
    // connection): updateHMStatus within the run kind of the host's entry,
    // which the report does not tell. An uninstall run thus stays one: its
    // UNINSTALLED is final and its outcome audited as an uninstall's.
    int reportHMStatus(const std::string& package, const std::string& host, const std::string& userName,
        uint32_t newState, const kav::IKavErrorInfo* error);

    // The package's hosts selected by `filter`, in host-name order; null when
    // the package has no entry. The caller owns the list.
    std::unique_ptr<DplStatusList> getHMStatus(const std::string& package, uint32_t filter) const;

    // The resource of the first host (host-name order) in `state` holding one; empty when none.
    ResourceHandle getVRMByStatus(const std::string& package, uint32_t state) const;

    // Drops the entry's resource handle; false when there is no such entry.
    bool clearVRM(const std::string& package, const std::string& host);

    // ERROR or CANCELLED back to ALLOCATING for a new run.
    void resetCancelErrorStatus(const std::string& package, const std::string& host);
    // `expected` back to ALLOCATING for a new run of the other kind.
    void resetStatus(const std::string& package, const std::string& host, uint32_t expected);

    // Every host below RUNNING becomes CANCELLED.
    void setCancelStatus(const std::string& package);

    // Hosts in ALLOCATING or WAITING for more than `timeoutSeconds` become
    // ERROR; `runText` names the kind of run in the error text.
    void setHostStateIfTimeout(
        const std::string& package, const std::string& runText, int32_t timeoutSeconds);

    // True when every host of the package is final (INSTALLED or later),
    // also when the package has no host.
    bool allHostsFinal(const std::string& package) const;

    // What a reader outside the deployment machinery sees of one host.
    struct HostView {
        std::string host;
        uint32_t state;
        std::string errorText;
    };
    using Snapshot = std::map<std::string, std::vector<HostView>>;
    // Every package with its hosts in name order, copied under the mutex.
    Snapshot snapshot() const;

    // Drops the package with its entries; false when it had none.
    bool removePackage(const std::string& package);

    // Puts entries read back from the persisted state in place, as they are.
    void restore(const std::string& package, HostStatusMap hosts);

    // Empties the table (shutdown).
    void removeHMAll();

private:
    HostStatusEntry* findEntry(const std::string& package, const std::string& host);
    void setState(const std::string& package, const std::string& host, HostStatusEntry& entry, uint32_t state,
        const kav::IKavErrorInfo* error);
    void persist(const std::string& package, const std::string& host, const HostStatusEntry& entry);
    void auditFinalState(const std::string& package, const std::string& host, const HostStatusEntry& entry);
    void resetToAllocating(HostStatusEntry& entry);
    int32_t now() const;

    IHostStatusSink& sink_;
    Clock clock_;
    mutable std::recursive_mutex mutex_;
    std::map<std::string, HostStatusMap> packages_;
    // While changeTogether runs: its package and the entries held back.
    const std::string* heldPackage_ = nullptr;
    std::vector<std::pair<std::string, HostStatusEntry>> heldBack_;
};

} // namespace rs
