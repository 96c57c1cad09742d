#pragma once
// Test doubles for the transport driver: a driver channel whose sends and
// receives the test completes by hand, so the channel layer's framing,
// dispatch and close paths run without sockets or threads.

#include "zephcomm/driver/zephcommdrv.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/CompletionHandler.h"
#include "zephcomm/wire/MessageHeader.h"

#include <ace/Message_Block.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zephcomm::test {

class FakeDriver final : public zephcommdrv::Driver {
public:
    void destroy() override { }
    zephcommdrv::Channel* createChannel() override { return nullptr; }
    zephcommdrv::Acceptor* createAcceptor(const std::string&) override { return nullptr; }
    zephcommdrv::Connector* createConnector() override { return nullptr; }
    const char* defaultAddress() const override { return "0.0.0.0:0"; }
    std::string errorText(int error) const override { return "fake error " + std::to_string(error); }
};

// Owned by the test; destroy() only marks it closed.
class FakeDriverChannel final : public zephcommdrv::Channel {
public:
    struct Sent {
        std::string bytes; // header and payload as one string
        zephcommdrv::Handler* handler;
        void* token;
    };

    void destroy() override
    {
        destroyed = true;
        if (pendingHandler_ != nullptr) {
            auto* handler = std::exchange(pendingHandler_, nullptr);
            handler->receive_CB(zephcommdrv::kAborted, pendingBuffer_, pendingLength_, this);
        }
    }

    int send(int count, const void* const* buffers, const size_t* lengths, zephcommdrv::Handler* handler,
        long, void* token) override
    {
        if (destroyed)
            return zephcommdrv::kBadHandle;
        if (sendResult != 0)
            return sendResult;
        Sent sent { "", handler, token };
        for (int i = 0; i < count; ++i)
            sent.bytes.append(static_cast<const char*>(buffers[i]), lengths[i]);
        sends.push_back(sent);
        return 0;
    }
    int cancelSend() override { return 0; }
    int receive(void* buffer, size_t length, zephcommdrv::Handler* handler, long) override
    {
        if (destroyed || pendingHandler_ != nullptr)
            return zephcommdrv::kBadHandle;
        pendingBuffer_ = buffer;
        pendingLength_ = length;
        pendingHandler_ = handler;
        return 0;
    }
    int cancelReceive() override { return 0; }
    std::optional<std::string> option(const std::string&) const override { return std::nullopt; }
    bool option(const std::string&, const std::string&) override { return false; }

    // Hands `bytes` to the receiver in the exact pieces it asks for.
    // Returns the number of bytes that found a pending receive.
    size_t feed(const std::string& bytes)
    {
        size_t used = 0;
        while (used < bytes.size() && pendingHandler_ != nullptr) {
            size_t take = std::min(pendingLength_, bytes.size() - used);
            std::memcpy(pendingBuffer_, bytes.data() + used, take);
            used += take;
            auto* handler = std::exchange(pendingHandler_, nullptr);
            handler->receive_CB(0, pendingBuffer_, take, this);
        }
        return used;
    }
    // Completes the oldest send with `error`.
    void completeSend(int error = 0)
    {
        Sent sent = sends.at(completed++);
        sent.handler->send_CB(sent.token, error, this);
    }
    // Ends the pending receive with an error, as a peer closing does.
    void failReceive(int error)
    {
        auto* handler = std::exchange(pendingHandler_, nullptr);
        handler->receive_CB(error, pendingBuffer_, pendingLength_, this);
    }
    bool receivePending() const { return pendingHandler_ != nullptr; }

    bool destroyed = false;
    int sendResult = 0;
    std::vector<Sent> sends;
    size_t completed = 0;

private:
    void* pendingBuffer_ = nullptr;
    size_t pendingLength_ = 0;
    zephcommdrv::Handler* pendingHandler_ = nullptr;
};

// A whole message as the wire carries it.
inline std::string frame(const std::string& typeName, const std::string& payload)
{
    unsigned char header[wire::kHeaderSize];
    wire::encodeHeader(static_cast<uint32_t>(payload.size()), wire::typeIdentifier(typeName), header);
    return std::string(reinterpret_cast<const char*>(header), sizeof header) + payload;
}

inline ACE_Message_Block* blockOf(const std::string& bytes)
{
    auto* block = new ACE_Message_Block(bytes.size() + 1);
    block->copy(bytes.data(), bytes.size());
    return block;
}

// Records every callback it gets.
class RecordingHandler final : public CompletionHandler {
public:
    struct Event {
        std::string kind;
        int error;
        std::string text; // type name, peer name
        std::string payload;
        zephcomm::Channel* channel;
    };

    void accept_CB(int error, const std::string& peer, zephcomm::Channel* ch) override
    {
        record({ "accept", error, peer, "", ch });
    }
    void connect_CB(int error, const std::string& peer, zephcomm::Channel* ch) override
    {
        record({ "connect", error, peer, "", ch });
    }
    void receive_CB(int error, const std::string& typeName, ACE_Message_Block* message,
        zephcomm::Channel* channel) override
    {
        std::string payload;
        for (const ACE_Message_Block* block = message; block != nullptr; block = block->cont())
            payload.append(block->rd_ptr(), block->length());
        if (message != nullptr)
            message->release();
        record({ "receive", error, typeName, payload, channel });
    }
    void send_CB(void* token, int error, zephcomm::Channel* channel) override
    {
        record({ "send", error, std::to_string(reinterpret_cast<uintptr_t>(token)), "", channel });
    }

    std::vector<Event> events() const
    {
        std::lock_guard guard(lock_);
        return events_;
    }
    // True when at least `count` callbacks arrived within `timeout`.
    bool waitForEvents(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, timeout, [&] { return events_.size() >= count; });
    }

private:
    void record(Event event)
    {
        {
            std::lock_guard guard(lock_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

// The handlers and channels of a test are reference-counted: this holds the
// creator's reference and gives it back at the end of the scope.
template <class T> using Ref = kav::RefPtr<T>;
template <class T, class... Args> Ref<T> make(Args&&... args)
{
    return Ref<T>::adopt(new T(std::forward<Args>(args)...));
}

} // namespace zephcomm::test
