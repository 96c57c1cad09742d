#pragma once
// ConnectionServer: what the server side of every client connection keeps,
// whatever its interface: the service context, the response client, the
// logon gate and the logon consumer. `Imp` is the interface's generated call-completion base,
// `Resp` its response client.
//
// Threads: the operations run on the connection's driver thread, one at a
// time; setUserName and logonRefused come from a worker thread (logon). The
// logon state is the gate's, under its own lock; the consumer and what a
// derived server adds are guarded by mutex_.
// References: the server holds the response client and releases it when it
// goes or when another takes its place.

#include "rs/core/LogonGate.h"
#include "rs/core/ServiceContext.h"

#include <log4cxx/logger.h>

#include <mutex>
#include <string>

namespace rs {

template <class Imp, class Resp> class ConnectionServer : public Imp {
public:
    // Takes over the caller's reference.
    void setResponse(Resp* response)
    {
        if (response_)
            response_->release();
        response_ = response;
    }
    void setUserName(const std::string& userName) { gate_.loggedOn(userName); }
    std::string userName() const { return gate_.userName(); }
    LogonGate& gate() { return gate_; }
    ServiceContext& context() const { return context_; }

    // A logon of this connection was refused; the fifth closes it.
    void logonRefused()
    {
        if (!gate_.logonFailed())
            return;
        LOG4CXX_WARN(logger_,
            name_ << "::logon: " << LogonGate::kMaxFailedLogons << " failed logons, closing the connection");
        gate_.closeConnection();
    }

protected:
    // The context must outlive the server.
    ConnectionServer(const char* name, log4cxx::LoggerPtr logger, ServiceContext& context)
        : name_(name)
        , logger_(std::move(logger))
        , context_(context)
        , gate_(context.logonRequired())
    {
    }
    ~ConnectionServer() override
    {
        if (response_)
            response_->release();
    }

    std::string consumer() const
    {
        std::lock_guard lock(mutex_);
        return consumer_;
    }
    void setConsumer(const std::string& consumer)
    {
        std::lock_guard lock(mutex_);
        consumer_ = consumer;
    }

    const char* const name_;
    const log4cxx::LoggerPtr logger_;
    ServiceContext& context_;
    Resp* response_ = nullptr;
    LogonGate gate_;
    mutable std::mutex mutex_;
    std::string consumer_;
};

} // namespace rs
