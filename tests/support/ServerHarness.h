#pragma once
// One server object of either interface run in-process on a fake context:
// the test hands it calls as they arrive from the wire and reads the answers
// it sends on its connection, decoded as their answer classes.
//
// Threads: the test's own (the fake context runs the queue on it).

#include "zephcomm/router/FakeDriver.h"

#include "common/KavErrorInfo.h"
#include "common/Referable.h"
#include "interfaces/rpc/RpcCodecs.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace rs::test {

template <class Server> class ServerHarness {
public:
    using Client = typename Server::Client;

    // answersUnder: the response interface's name ("IRepositoryResp").
    template <class Context>
    ServerHarness(Context& context, std::string answersUnder)
        : answersUnder_(std::move(answersUnder))
        , server_(kav::RefPtr<Server>::adopt(new Server(context)))
    {
        channel_->accept_CB(0, &io_);
        client_ = new Client(channel_.get());
        server_->setResponse(client_);
    }
    ~ServerHarness()
    {
        client_->detach();
        channel_->destroy();
    }

    // Hands the server the call with these arguments, as it is received.
    template <class Call, class... Args> void send(const Args&... args)
    {
        Call sent(args...);
        auto call = std::make_unique<Call>(zephCDRMarshal::prototype);
        call->unmarshal(sent.payload());
        server_->complete(0, call.release());
    }

    // Answers sent and not read yet.
    size_t unread() const { return io_.sends.size() - read_; }

    // Hands the server a call already received.
    void deliver(std::unique_ptr<zephcomm::Call> call) { server_->complete(0, call.release()); }

    // The next answer, decoded as Answer; null (and a test failure) when
    // none was sent or it is another answer.
    template <class Answer> std::unique_ptr<Answer> answer()
    {
        std::unique_ptr<ACE_Message_Block> payload = nextPayload(answersUnder_ + "::" + Answer::kMethodName);
        if (!payload)
            return nullptr;
        auto answer = std::make_unique<Answer>(zephCDRMarshal::prototype);
        answer->unmarshal(payload.get());
        EXPECT_EQ(answer->unmarshalResult(), 0);
        return answer;
    }

    // The error record of the next answer, which must be the answer
    // `typeName` ("IRepositoryResp::addModuleResp"): every answer begins with it.
    std::unique_ptr<kav::KavErrorInfo> answerError(const std::string& typeName)
    {
        std::unique_ptr<ACE_Message_Block> payload = nextPayload(typeName);
        std::unique_ptr<kav::KavErrorInfo> error;
        if (!payload)
            return error;
        ACE_InputCDR in(payload.get());
        ACE_CDR::Boolean byteOrder = 0;
        in.read_boolean(byteOrder);
        in.reset_byte_order(byteOrder);
        EXPECT_TRUE(rpc::Error::read(in, error)) << typeName;
        return error;
    }

private:
    std::unique_ptr<ACE_Message_Block> nextPayload(const std::string& typeName)
    {
        if (unread() == 0) {
            ADD_FAILURE() << "no answer " << typeName;
            return nullptr;
        }
        const std::string bytes = io_.sends[read_++].bytes;
        io_.completeSend(0);
        const auto header
            = zephcomm::wire::decodeHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
        if (header.typeId != zephcomm::wire::typeIdentifier(typeName)) {
            ADD_FAILURE() << "the answer is not " << typeName;
            return nullptr;
        }
        return std::unique_ptr<ACE_Message_Block>(
            zephcomm::test::blockOf(bytes.substr(zephcomm::wire::kHeaderSize)));
    }

    const std::string answersUnder_;
    zephcomm::test::FakeDriver driver_;
    zephcomm::test::FakeDriverChannel io_;
    kav::RefPtr<zephcomm::Channel> channel_
        = kav::RefPtr<zephcomm::Channel>::adopt(new zephcomm::Channel("server", &driver_));
    kav::RefPtr<Server> server_;
    Client* client_ = nullptr;
    size_t read_ = 0;
};

} // namespace rs::test
