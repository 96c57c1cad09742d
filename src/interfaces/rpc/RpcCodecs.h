#pragma once
// The argument types of the RPC interfaces and their wire forms, as codecs
// for zephCDRMarshal::TypedCall (see zephcomm/proxy/MarshalCall.h).
//
// Received values are owned by the call, then by whoever takes them:
// strings, records and lists as std::unique_ptr, byte blocks as BlockPtr.
// A value whose read failed is empty (strings) or null (byte blocks,
// records, lists); values after it stay null.

#include "common/KavErrorInfo.h"
#include "interfaces/rpc/KavVersion.h"
#include "interfaces/types/AppDplList.h"
#include "interfaces/types/DplStatusList.h"
#include "interfaces/types/RepositoryAppList.h"

#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rpc {

struct BlockRelease {
    void operator()(ACE_Message_Block* block) const { block->release(); }
};
// A byte block whose ownership passes with the pointer.
using BlockPtr = std::unique_ptr<ACE_Message_Block, BlockRelease>;

// A fresh block holding a copy of `bytes`.
BlockPtr makeBlock(std::string_view bytes);
// The bytes of a block (chain), "" for null.
std::string blockText(const ACE_Message_Block* block);

struct String {
    using In = std::string_view;
    using Held = std::unique_ptr<std::string>;
    static bool write(ACE_OutputCDR& out, In value);
    static bool read(ACE_InputCDR& in, Held& held);
    static const std::string* view(const Held& held) { return held.get(); }
};

struct Int32 {
    using In = int32_t;
    using Held = int32_t;
    static bool write(ACE_OutputCDR& out, In value) { return out.write_long(value); }
    static bool read(ACE_InputCDR& in, Held& held) { return in.read_long(held); }
    static int32_t view(Held held) { return held; }
};

// Null writes an empty block.
struct Block {
    using In = const ACE_Message_Block*;
    using Held = BlockPtr;
    static bool write(ACE_OutputCDR& out, In value);
    static bool read(ACE_InputCDR& in, Held& held);
    static const ACE_Message_Block* view(const Held& held) { return held.get(); }
};

// Null writes success (code 0). A received success is a record with code 0.
struct Error {
    using In = const kav::IKavErrorInfo*;
    using Held = std::unique_ptr<kav::KavErrorInfo>;
    static bool write(ACE_OutputCDR& out, In value);
    static bool read(ACE_InputCDR& in, Held& held);
    static const kav::KavErrorInfo* view(const Held& held) { return held.get(); }
};

struct Version {
    using In = const KavVersion&;
    using Held = std::unique_ptr<KavVersion>;
    static bool write(ACE_OutputCDR& out, In value);
    static bool read(ACE_InputCDR& in, Held& held);
    static const KavVersion* view(const Held& held) { return held.get(); }
};

// The three list records share one shape: a writer and a reader function.
template <class List, bool (*Write)(ACE_OutputCDR&, const List&), bool (*Read)(ACE_InputCDR&, List&)>
struct ListCodec {
    using In = const List&;
    using Held = std::unique_ptr<List>;
    static bool write(ACE_OutputCDR& out, In value) { return Write(out, value); }
    static bool read(ACE_InputCDR& in, Held& held)
    {
        auto list = std::make_unique<List>();
        if (!Read(in, *list))
            return false;
        held = std::move(list);
        return true;
    }
    static const List* view(const Held& held) { return held.get(); }
};

using ModuleList = ListCodec<rs::RepositoryAppList, rs::writeRepositoryAppList, rs::readRepositoryAppList>;
using PackageList = ListCodec<rs::AppDplList, rs::writeAppDplList, rs::readAppDplList>;
using StatusList = ListCodec<rs::DplStatusList, rs::writeDplStatusList, rs::readDplStatusList>;

} // namespace rpc
