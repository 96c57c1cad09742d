#include "zephcomm/proxy/MarshalCall.h"

#include "zephcomm/wire/Cdr.h"

namespace zephCDRMarshal {

ACE_OutputCDR& MarshalCall::output()
{
    if (!out_) {
        out_ = zephcomm::wire::makeOutput();
        marshalStatus_ = zephcomm::wire::beginPayload(*out_);
    }
    return *out_;
}

std::unique_ptr<ACE_InputCDR> MarshalCall::input(const ACE_Message_Block* payload)
{
    if (payload == nullptr)
        return nullptr;
    return zephcomm::wire::makeInput(payload);
}

} // namespace zephCDRMarshal
