#pragma once
// The wire form of an error record on ACE CDR streams.
//
// Success travels as one int32 (0). A failure is the code followed by
// location, context, detail, the parameter count and parameters, a flag
// saying whether a data block follows (then its length and bytes), the
// message (at most 256 characters) and the record's flag.

#include "common/KavErrorInfo.h"

#include <memory>

class ACE_OutputCDR;
class ACE_InputCDR;

namespace kav {

// info == null (or a record with code 0) writes success.
void writeErrorInfo(ACE_OutputCDR& out, const IKavErrorInfo* info);

// out is null for success, else the record read. Returns false
// when the stream runs out or holds an impossible value; out is then null.
bool readErrorInfo(ACE_InputCDR& in, std::unique_ptr<KavErrorInfo>& out);

} // namespace kav
