#pragma once
// ModuleWork: the base of the module work items (add, remove, list, get,
// link). It holds what every one of them needs: the connection's response
// client, the consumer whose index the request works on, the user of the
// connection and the repository directory (the context's).
//
// Threads: constructed on a communication thread, processed and deleted on
// a worker thread (ServiceWork).
// Ownership: holds a reference to the response client, released with the
// item; owns copies of its strings.

#include "common/Referable.h"
#include "common/ResultCodes.h"
#include "interfaces/IRepositoryResp.h"
#include "rs/core/ServiceWork.h"

#include <string>

namespace rs {

class ModuleWork : public ServiceWork {
protected:
    ModuleWork(std::string className, const rpc::OperationFacts& facts, ServiceContext& context,
        IRepositoryRespClient* response, std::string consumer, std::string user)
        : ServiceWork(std::move(className), facts, context)
        , response_(response)
        , consumer_(std::move(consumer))
        , user_(std::move(user))
        , repository_(context.storageDir())
    {
    }

    void closeConnection() override
    {
        if (response_)
            response_->closeConnection();
    }

    // Whether the connection's user may run the operation on the consumer:
    // always on the global index (the empty consumer), which has no roles.
    bool isPermitted(const std::string& consumer) const
    {
        return consumer.empty() || permitted(user_, consumer);
    }
    // Throws RS_PERMISSION_DENIED when the user may not run it on consumer_.
    void requirePermission() const
    {
        if (!isPermitted(consumer_))
            KAV_THROW(kav::rc::RS_PERMISSION_DENIED,
                "user " + (user_.empty() ? std::string("-") : user_) + " may not do this on " + consumer_);
    }

    kav::RefPtr<IRepositoryRespClient> response_;
    const std::string consumer_;
    const std::string user_;
    const std::string repository_;
};

} // namespace rs
