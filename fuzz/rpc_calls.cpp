// Fuzz target: unmarshalling of the received calls of every interface.
// Input: byte 0 picks the interface, byte 1 the operation (both modulo
// their counts), the rest is the call's payload as it arrives on the wire
// (byte-order flag first).

#include "FuzzSupport.h"

#include "interfaces/rpc/RpcSupport.h"
#include "zephcomm/proxy/MarshalCall.h"

#include <ace/Message_Block.h>

#include <array>
#include <memory>

namespace {

constexpr std::array<const char*, 4> kInterfaces
    = { "IRepository", "IRepositoryResp", "IAppDeployment", "IAppDeploymentResp" };

const rpc::Prototypes& prototypesOf(size_t index)
{
    static const std::array<rpc::Prototypes, kInterfaces.size()> all = [] {
        std::array<rpc::Prototypes, kInterfaces.size()> lists;
        for (size_t i = 0; i < kInterfaces.size(); ++i) {
            const rpc::InterfaceInfo* info = rpc::findInterface(kInterfaces[i]);
            fuzz::check(info != nullptr, "an interface is missing from the table");
            lists[i] = info->prototypes();
            fuzz::check(!lists[i].empty(), "an interface without operations");
        }
        return lists;
    }();
    return all[index];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const rpc::Prototypes& prototypes = prototypesOf(data[0] % kInterfaces.size());
    const zephcomm::Call& prototype = *prototypes[data[1] % prototypes.size()];

    std::unique_ptr<zephcomm::Call> call(prototype.create());
    fuzz::check(call && call->methodName() == prototype.methodName(), "create() gave another operation");
    ACE_Message_Block* payload = fuzz::alignedBlock(data + 2, size - 2);
    const int status = call->unmarshal(payload);
    payload->release();
    fuzz::check(status == 0, "unmarshal ran out of memory");

    auto* marshal = dynamic_cast<zephCDRMarshal::MarshalCall*>(call.get());
    fuzz::check(marshal != nullptr, "a generated call is not a marshal call");
    fuzz::check(marshal->unmarshalResult() >= 0, "negative unmarshal result");
    return 0;
}
