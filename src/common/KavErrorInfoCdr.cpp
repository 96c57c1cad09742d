#include "common/KavErrorInfoCdr.h"

#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>

#include <memory>

namespace kav {

namespace {

// The smallest wire size of a string (length word plus NUL), used to refuse
// parameter counts the remaining stream cannot possibly hold.
constexpr size_t kMinStringWireSize = sizeof(ACE_CDR::ULong) + 1;

void writeData(ACE_OutputCDR& out, const IKavErrorInfo& info)
{
    const ACE_Message_Block* data = info.getData();
    if (!data) {
        out << ACE_CDR::Short(0);
        return;
    }
    out << ACE_CDR::Short(1);
    out << ACE_CDR::ULong(data->total_length());
    for (const ACE_Message_Block* block = data; block; block = block->cont())
        out.write_octet_array(reinterpret_cast<const ACE_CDR::Octet*>(block->rd_ptr()), block->length());
    out.write_string(info.getMessage());
}

bool readParams(ACE_InputCDR& in, Params& params)
{
    ACE_CDR::ULong count = 0;
    if (!(in >> count) || count > in.length() / kMinStringWireSize)
        return false;
    params.resize(count);
    for (std::string& param : params) {
        if (!in.read_string(param))
            return false;
    }
    return true;
}

bool readData(ACE_InputCDR& in, KavErrorInfo& info)
{
    ACE_CDR::Short hasData = 0;
    if (!(in >> hasData) || (hasData != 0 && hasData != 1))
        return false;
    if (hasData == 0)
        return true;
    ACE_CDR::ULong length = 0;
    if (!(in >> length) || length > in.length())
        return false;
    ACE_Message_Block block(length);
    if (length > 0 && !in.read_octet_array(reinterpret_cast<ACE_CDR::Octet*>(block.wr_ptr()), length))
        return false;
    block.wr_ptr(length);
    std::string message;
    if (!in.read_string(message))
        return false;
    info.setData(&block);
    info.setMessage(message);
    return true;
}

} // namespace

void writeErrorInfo(ACE_OutputCDR& out, const IKavErrorInfo* info)
{
    ACE_CDR::Long code = info ? info->getCode() : 0;
    out << code;
    if (code >= 0)
        return;
    out.write_string(info->getLocation());
    out.write_string(info->getContext());
    out.write_string(info->getDetail());
    out << ACE_CDR::ULong(info->getParams().size());
    for (const std::string& param : info->getParams())
        out.write_string(param);
    writeData(out, *info);
}

bool readErrorInfo(ACE_InputCDR& in, std::unique_ptr<KavErrorInfo>& out)
{
    out.reset();
    ACE_CDR::Long code = 0;
    if (!(in >> code))
        return false;
    if (code >= 0)
        return true;
    std::string location, context, detail;
    Params params;
    if (!in.read_string(location) || !in.read_string(context) || !in.read_string(detail)
        || !readParams(in, params))
        return false;
    auto info
        = std::make_unique<KavErrorInfo>(code, std::move(location), "", std::move(detail), std::move(params));
    info->setContext(context);
    if (!readData(in, *info))
        return false;
    out = std::move(info);
    return true;
}

} // namespace kav
