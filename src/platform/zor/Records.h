#pragma once
// Builders and destructors of the C records that libzor hands out. Every
// string and array is malloc'ed, so that the zor_free_* calls can free them.

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/zor.h"

#include <string>
#include <vector>

namespace zor {

char* dupString(const std::string& s);
// Slots of one host with the attributes "type" and "cpuf" (none when host is null).
zor_hostslots_t makeHostSlots(const std::string& name, int slots, const HostInfo* host);
zor_allocation_t makeAllocation(
    const std::string& allocId, const std::string& consumer, const std::vector<zor_hostslots_t>& hosts);
zor_reclaim_t makeReclaim(const std::string& allocId, const std::vector<zor_hostslots_t>& hosts);
zor_container_t makeContainer(const std::string& id, const std::string& host, const std::string& allocId,
    int state, int exitReason, int exitStatus);

void freeAllocationFields(zor_allocation_t& a);
void freeReclaimFields(zor_reclaim_t& r);
void freeContainerFields(zor_container_t& c);

} // namespace zor
