#include "zephcomm/wire/Handshake.h"

namespace zephcomm::wire {

Handshake::Handshake(std::string_view endpointName)
    : name_(endpointName)
{
    encodeHeader(static_cast<uint32_t>(name_.size()), typeIdentifier(kHandshakeTypeName), header_);
    buffers_[0] = header_;
    lengths_[0] = kHeaderSize;
    buffers_[1] = name_.data();
    lengths_[1] = name_.size();
}

} // namespace zephcomm::wire
