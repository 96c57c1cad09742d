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
#include "interfaces/IRepositoryResp.h"
#include "rs/core/ServiceWork.h"

#include <string>

namespace rs {

class ModuleWork : public ServiceWork {
protected:
    ModuleWork(std::string className, ServiceContext& context, IRepositoryRespClient* response,
        std::string consumer, std::string user)
        : ServiceWork(std::move(className), context)
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

    kav::RefPtr<IRepositoryRespClient> response_;
    const std::string consumer_;
    const std::string user_;
    const std::string repository_;
};

} // namespace rs
