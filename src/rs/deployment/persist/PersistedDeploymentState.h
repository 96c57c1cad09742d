#pragma once
// The service's persisted deployment state: writes the changes of the host
// status table that must survive a restart to ".persist" and reads them back
// at start-up.
//
// Only ALLOCATING and the final states (INSTALLED and later) are written. A
// host written while ALLOCATING is stored as ERROR with the text of
// 0xD0014C45, so that a restart in the middle of an allocation shows the host
// as failed until it is deployed again.
//
// Thread-safety: every access to the file happens under this object's lock.
// update() is called by the host status table with the table mutex held
// (lock order: table, then this lock); remove() takes the table's lock and
// this lock one after the other, never nested.

#include "rs/deployment/status/HostStatusEntry.h"

#include "common/KavErrorInfo.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rs {

class HostStatusTable;
class PstIndexFile;

class PersistedDeploymentState {
public:
    // The message text of an error record (catalogue text with its arguments).
    using MessageText = std::function<std::string(const kav::IKavErrorInfo&)>;

    // Opens ".persist" in storageDir; an empty storageDir runs without persistence.
    PersistedDeploymentState(const std::string& storageDir, MessageText messageText);
    ~PersistedDeploymentState();
    PersistedDeploymentState(const PersistedDeploymentState&) = delete;
    PersistedDeploymentState& operator=(const PersistedDeploymentState&) = delete;

    bool enabled() const { return file_ != nullptr; }

    // Fills the table with every package and host of the file (start-up).
    void load(HostStatusTable& table);

    // Records a created or changed entry (the service's updatePersistedState).
    void update(const std::string& package, const std::string& host, const HostStatusEntry& entry);
    // Records entries of one package changed together, in one write.
    void update(
        const std::string& package, const std::vector<std::pair<std::string, HostStatusEntry>>& entries);

    // Drops the package from the table and, when it was there, from the file
    // (the service's removePersistedState).
    void remove(HostStatusTable& table, const std::string& package);

private:
    std::string allocationLostText(const std::string& package, const std::string& host);

    MessageText messageText_;
    std::mutex mutex_;
    std::unique_ptr<PstIndexFile> file_;
};

} // namespace rs
