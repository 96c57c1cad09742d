// Fuzz target: the three list records of the answers. Input: byte 0 picks
// the record (modulo 3), the rest is the stream as received (byte-order
// flag first). A list that decodes must encode again to the same list, and
// its debug text must be printable.

#include "FuzzSupport.h"

#include "interfaces/types/AppDplList.h"
#include "interfaces/types/DplStatusList.h"
#include "interfaces/types/RepositoryAppList.h"
#include "zephcomm/wire/Cdr.h"

#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>

#include <memory>

namespace {

template <class List> struct Codec;

template <> struct Codec<rs::DplStatusList> {
    static bool read(ACE_InputCDR& in, rs::DplStatusList& list) { return rs::readDplStatusList(in, list); }
    static bool write(ACE_OutputCDR& out, const rs::DplStatusList& list)
    {
        return rs::writeDplStatusList(out, list);
    }
    static std::string dump(const rs::DplStatusList& list) { return rs::dumpDplStatusList(list); }
    static bool empty(const rs::DplStatusList& list) { return list.entries.empty(); }
};

template <> struct Codec<rs::AppDplList> {
    static bool read(ACE_InputCDR& in, rs::AppDplList& list) { return rs::readAppDplList(in, list); }
    static bool write(ACE_OutputCDR& out, const rs::AppDplList& list)
    {
        return rs::writeAppDplList(out, list);
    }
    static std::string dump(const rs::AppDplList& list) { return rs::dumpAppDplList(list); }
    static bool empty(const rs::AppDplList& list) { return list.entries.empty(); }
};

template <> struct Codec<rs::RepositoryAppList> {
    static bool read(ACE_InputCDR& in, rs::RepositoryAppList& list)
    {
        return rs::readRepositoryAppList(in, list);
    }
    static bool write(ACE_OutputCDR& out, const rs::RepositoryAppList& list)
    {
        return rs::writeRepositoryAppList(out, list);
    }
    static std::string dump(const rs::RepositoryAppList& list) { return rs::dumpRepositoryAppList(list); }
    static bool empty(const rs::RepositoryAppList& list) { return list.count() == 0; }
};

template <class List> bool decode(const ACE_Message_Block* payload, List& list)
{
    std::unique_ptr<ACE_InputCDR> in = zephcomm::wire::makeInput(payload);
    if (!in)
        return false;
    const bool good = Codec<List>::read(*in, list);
    fuzz::check(good || Codec<List>::empty(list), "a failed read left records behind");
    return good;
}

template <class List> void roundTrip(const uint8_t* data, size_t size)
{
    ACE_Message_Block* payload = fuzz::alignedBlock(data, size);
    List first;
    const bool good = decode(payload, first);
    payload->release();
    if (!good)
        return;
    (void)Codec<List>::dump(first);

    std::unique_ptr<ACE_OutputCDR> out = zephcomm::wire::makeOutput();
    fuzz::check(zephcomm::wire::beginPayload(*out), "cannot begin a payload");
    fuzz::check(Codec<List>::write(*out, first), "a decoded list does not encode");
    ACE_Message_Block* encoded = fuzz::receivedCopy(*out);
    List second;
    const bool again = decode(encoded, second);
    encoded->release();
    fuzz::check(again, "an encoded list does not decode");
    fuzz::check(first == second, "a list changed on its way through the wire");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    switch (data[0] % 3) {
    case 0:
        roundTrip<rs::DplStatusList>(data + 1, size - 1);
        break;
    case 1:
        roundTrip<rs::AppDplList>(data + 1, size - 1);
        break;
    default:
        roundTrip<rs::RepositoryAppList>(data + 1, size - 1);
        break;
    }
    return 0;
}
