// Fuzz target: the error record at the head of every answer. Input: the
// stream as received (byte-order flag first). A record that decodes must
// encode again and decode to the same record.

#include "FuzzSupport.h"

#include "common/KavErrorInfo.h"
#include "common/KavErrorInfoCdr.h"
#include "zephcomm/wire/Cdr.h"

#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>

#include <memory>

namespace {

std::unique_ptr<kav::KavErrorInfo> decode(const ACE_Message_Block* payload, bool& good)
{
    good = false;
    std::unique_ptr<ACE_InputCDR> in = zephcomm::wire::makeInput(payload);
    if (!in)
        return nullptr;
    std::unique_ptr<kav::KavErrorInfo> info;
    good = kav::readErrorInfo(*in, info);
    fuzz::check(good || info == nullptr, "a failed read left a record");
    return info;
}

void checkSameRecord(const kav::KavErrorInfo& a, const kav::KavErrorInfo& b)
{
    fuzz::check(a.getCode() == b.getCode(), "code changed");
    fuzz::check(a.getLocation() == b.getLocation(), "location changed");
    fuzz::check(a.getContext() == b.getContext(), "context changed");
    fuzz::check(a.getDetail() == b.getDetail(), "detail changed");
    fuzz::check(a.getMessage() == b.getMessage(), "message changed");
    fuzz::check(a.getFlag() == b.getFlag(), "flag changed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ACE_Message_Block* payload = fuzz::alignedBlock(data, size);
    bool good = false;
    std::unique_ptr<kav::KavErrorInfo> first = decode(payload, good);
    payload->release();
    if (!good)
        return 0;

    std::unique_ptr<ACE_OutputCDR> out = zephcomm::wire::makeOutput();
    fuzz::check(zephcomm::wire::beginPayload(*out), "cannot begin a payload");
    kav::writeErrorInfo(*out, first.get());
    fuzz::check(out->good_bit(), "a decoded record does not encode");
    ACE_Message_Block* encoded = fuzz::receivedCopy(*out);
    std::unique_ptr<kav::KavErrorInfo> second = decode(encoded, good);
    encoded->release();
    fuzz::check(good, "an encoded record does not decode");
    fuzz::check((first == nullptr) == (second == nullptr), "success and failure swapped");
    if (first)
        checkSameRecord(*first, *second);
    return 0;
}
