#include "zephcomm/router/Channel.h"

#include "common/ResultCodes.h"
#include "zephcomm/router/CompletionHandler.h"
#include "zephcomm/router/ErrorReport.h"
#include "zephcomm/wire/MessageHeader.h"

#include <ace/Message_Block.h>

#include <utility>
#include <vector>

namespace zephcomm {

// One message handed to the driver, in one allocation: the header bytes
// and the buffer table live here, the payload chain is referenced, and all
// stay alive until the driver's send_CB.
struct Channel::SendRecord {
    // Calls marshal into a few blocks; longer chains spill into the vectors.
    static constexpr size_t kInlineBuffers = 8;

    kav::RefPtr<CompletionHandler> handler;
    ACE_Message_Block* payload = nullptr;
    void* token = nullptr;
    alignas(8) unsigned char header[wire::kHeaderSize];
    size_t count = 0;
    const void* inlineBuffers[kInlineBuffers];
    size_t inlineLengths[kInlineBuffers];
    std::vector<const void*> moreBuffers;
    std::vector<size_t> moreLengths;

    SendRecord(std::string_view typeName, ACE_Message_Block* chain, CompletionHandler* sender, void* sendToken)
        : handler(sender)
        , payload(chain)
        , token(sendToken)
    {
        wire::encodeHeader(
            static_cast<uint32_t>(payload->total_length()), wire::typeIdentifier(typeName), header);
        add(header, wire::kHeaderSize);
        for (const ACE_Message_Block* block = payload; block != nullptr; block = block->cont())
            if (block->length() > 0)
                add(block->rd_ptr(), block->length());
    }
    ~SendRecord() { payload->release(); }
    SendRecord(const SendRecord&) = delete;
    SendRecord& operator=(const SendRecord&) = delete;

    void add(const void* buffer, size_t length)
    {
        if (count < kInlineBuffers) {
            inlineBuffers[count] = buffer;
            inlineLengths[count] = length;
        } else {
            if (moreBuffers.empty()) {
                moreBuffers.assign(inlineBuffers, inlineBuffers + kInlineBuffers);
                moreLengths.assign(inlineLengths, inlineLengths + kInlineBuffers);
            }
            moreBuffers.push_back(buffer);
            moreLengths.push_back(length);
        }
        ++count;
    }
    const void* const* buffers() const { return moreBuffers.empty() ? inlineBuffers : moreBuffers.data(); }
    const size_t* lengths() const { return moreLengths.empty() ? inlineLengths : moreLengths.data(); }
};

Channel::Channel(const std::string& endpointName, zephcommdrv::Driver* driver)
    : kav::Referable(1)
    , endpointName_(endpointName)
    , handshake_(endpointName)
    , driver_(driver)
{
}

Channel::~Channel()
{
    // Bindings can only remain when the channel was never attached.
    for (auto& [id, binding] : bindings_)
        binding.handler->release();
}

long Channel::reference()
{
    long count = kav::Referable::reference();
    LOG4CXX_LOG(Loggers::channel(), Loggers::trace(),
        "Channel::reference(this=" << this << ", cnt=" << count << ")");
    return count;
}

long Channel::release()
{
    // Logged before the decrement: the channel may be gone after it.
    LOG4CXX_LOG(Loggers::channel(), Loggers::trace(),
        "Channel::release(this=" << this << ", cnt=" << referenceCount() - 1 << ")");
    return kav::Referable::release();
}

bool Channel::isAttached() const
{
    std::lock_guard guard(receiveLock_);
    return io_ != nullptr;
}

void Channel::logDriverError(const char* where, int error) const
{
    if (error == 0)
        return;
    std::string text = std::string(where) + ": zephcommdrv returns with err #" + std::to_string(error);
    if (driver_ != nullptr)
        text += " " + driver_->errorText(error);
    if (error == zephcommdrv::kAborted) {
        // Our own close aborts the pending receive: expected, not a failure.
        LOG4CXX_DEBUG(Loggers::channel(), text);
    } else if (error < 0) {
        ZEPHCOMM_REPORT(Loggers::channel(), ZEPHCOMM_DRIVER_ERROR, text);
    } else {
        ZEPHCOMM_REPORT(Loggers::channel(), ZEPHCOMM_DRIVER_TIMEOUT, text);
    }
}

template <class Callback> bool Channel::upcall(int line, Callback&& callback) noexcept
{
    try {
        callback();
        return true;
    } catch (...) {
        reportEscapedException(Loggers::channel(), __FILE__, line);
        return false;
    }
}

// --- sending -------------------------------------------------------------

int Channel::send(std::string_view typeName, ACE_Message_Block* payload, CompletionHandler* handler,
    void* token, long timeoutMs)
{
    if (payload == nullptr)
        return zephcommdrv::kInvalid;
    if (payload->total_length() == 0) {
        payload->release();
        return zephcommdrv::kInvalid;
    }
    LOG4CXX_LOG(Loggers::channel(), Loggers::trace(), "Channel::send(this=" << this << ", type=" << typeName << ")");
    auto record = std::make_unique<SendRecord>(typeName, payload, handler, token);
    reference();
    int rc = zephcommdrv::kBadHandle;
    {
        std::lock_guard receiveGuard(receiveLock_);
        std::lock_guard sendGuard(sendLock_);
        if (io_ != nullptr)
            rc = io_->send(static_cast<int>(record->count), record->buffers(), record->lengths(), this, timeoutMs,
                record.get());
    }
    if (rc == 0) {
        record.release(); // the driver's send_CB frees it
        return 0;
    }
    if (rc != zephcommdrv::kInvalid && rc != zephcommdrv::kBadHandle)
        logDriverError("Channel::send()", rc);
    record.reset();
    release();
    return rc;
}

int Channel::cancelSend(void*)
{
    std::lock_guard receiveGuard(receiveLock_);
    std::lock_guard sendGuard(sendLock_);
    return io_ != nullptr ? io_->cancelSend() : zephcommdrv::kBadHandle;
}

void Channel::send_CB(void* token, int error, zephcommdrv::Channel*)
{
    if (token == nullptr) {
        LOG4CXX_ERROR(Loggers::channel(), "Channel::send_CB() : internal error - act is NULL.");
        return;
    }
    std::unique_ptr<SendRecord> record(static_cast<SendRecord*>(token));
    logDriverError("Channel::send_CB()", error);
    if (!upcall(__LINE__, [&] { record->handler->send_CB(record->token, error, this); }))
        close(-1);
    record.reset();
    release();
}

// --- bindings ------------------------------------------------------------

int Channel::receive(const std::string& typeName, CompletionHandler* handler, long)
{
    if (handler == nullptr)
        return -1;
    uint32_t id = wire::typeIdentifier(typeName);
    std::lock_guard guard(bindingsLock_);
    if (bindings_.contains(id)) {
        ZEPHCOMM_REPORT(Loggers::channel(), ZEPHCOMM_BIND_TYPE_DUPLICATED,
            "Channel::receive(type=" + typeName + ") - returns ZEPHCOMM_BIND_TYPE_DUPLICATED .");
        return kBindTypeDuplicated;
    }
    try {
        bindings_.emplace(id, Binding { std::make_shared<const std::string>(typeName), handler });
    } catch (const std::bad_alloc&) {
        ZEPHCOMM_REPORT(
            Loggers::channel(), ZEPHCOMM_BIND_TYPE_FAIL, "Channel::receive(type=" + typeName + ")");
        return -ENOMEM;
    }
    handler->reference();
    return 0;
}

int Channel::cancelReceive(const std::string& typeName)
{
    CompletionHandler* handler = nullptr;
    {
        std::lock_guard guard(bindingsLock_);
        auto found = bindings_.find(wire::typeIdentifier(typeName));
        if (found == bindings_.end())
            return -1;
        handler = found->second.handler;
        bindings_.erase(found);
    }
    handler->release();
    return 0;
}

// --- closing -------------------------------------------------------------

void Channel::destroy()
{
    close(-1);
}

void Channel::close(int error)
{
    if (error == 0)
        return;
    zephcommdrv::Channel* io = nullptr;
    {
        std::lock_guard receiveGuard(receiveLock_);
        std::lock_guard sendGuard(sendLock_);
        // The assembler's buffer stays: a pending driver receive may still
        // write into it until its completion ends the receive loop.
        io = std::exchange(io_, nullptr);
    }
    if (io == nullptr)
        return;
    LOG4CXX_DEBUG(Loggers::channel(), "Channel::close(this=" << this << ", err=" << error << ")");
    io->destroy();
    std::unordered_map<uint32_t, Binding> removed;
    {
        std::lock_guard guard(bindingsLock_);
        removed.swap(bindings_);
    }
    kav::RefPtr<Channel> self(this); // a handler may drop the last user reference
    for (auto& entry : removed) {
        Binding& binding = entry.second;
        upcall(__LINE__, [&] { binding.handler->receive_CB(error, *binding.typeName, nullptr, this); });
        binding.handler->release();
    }
}

// --- the receive loop ----------------------------------------------------

void Channel::accept_CB(int error, zephcommdrv::Channel* channel)
{
    if (error == 0 && channel != nullptr)
        attach(channel);
    else if (channel != nullptr)
        channel->destroy();
}

void Channel::connect_CB(int error, zephcommdrv::Channel* channel)
{
    accept_CB(error, channel);
}

void Channel::attach(zephcommdrv::Channel* channel)
{
    reference(); // held by the receive loop until it ends
    {
        std::lock_guard guard(receiveLock_);
        io_ = channel;
        assembler_.reset();
    }
    if (!requestMore())
        release();
}

bool Channel::requestMore()
{
    int rc = 0;
    {
        std::lock_guard guard(receiveLock_);
        if (io_ == nullptr)
            return false;
        rc = io_->receive(assembler_.buffer(), assembler_.wanted(), this, 0);
    }
    if (rc == 0)
        return true;
    logDriverError("Channel::receive()", rc);
    close(rc);
    return false;
}

void Channel::receive_CB(int error, void*, size_t length, zephcommdrv::Channel*)
{
    if (error != 0) {
        logDriverError("Channel::receive_CB()", error);
        close(error);
        release();
        return;
    }
    ACE_Message_Block* payload = nullptr;
    uint32_t typeId = 0;
    bool broken = false;
    {
        std::lock_guard guard(receiveLock_);
        if (io_ == nullptr) {
            release();
            return;
        }
        switch (assembler_.feed(length)) {
        case wire::MessageAssembler::Status::Complete:
            payload = assembler_.takePayload(typeId);
            break;
        case wire::MessageAssembler::Status::Failed:
            broken = true;
            break;
        default:
            break;
        }
    }
    if (broken) {
        LOG4CXX_ERROR(Loggers::protocol(),
            "Channel::receive_CB() : protocol error " << assembler_.lastError() << ", closing");
        close(-1);
        release();
        return;
    }
    // A handler that failed leaves its connection in an unknown state: it is
    // closed (after the bindings' lock is gone, which close takes last).
    if (payload != nullptr && !dispatch(typeId, payload))
        close(-1);
    if (!requestMore())
        release();
}

bool Channel::dispatch(uint32_t typeId, ACE_Message_Block* payload)
{
    std::lock_guard guard(bindingsLock_);
    auto found = bindings_.find(typeId);
    if (found == bindings_.end()) {
        LOG4CXX_DEBUG(Loggers::channel(),
            "Channel::receive_CB() : debug - nobody registered for message with identifier = " << typeId);
        payload->release();
        return true;
    }
    // The handler may unbind itself while it runs: both stay referenced.
    kav::RefPtr<CompletionHandler> handler(found->second.handler);
    std::shared_ptr<const std::string> typeName = found->second.typeName;
    return upcall(__LINE__, [&] { handler->receive_CB(0, *typeName, payload, this); });
}

} // namespace zephcomm
