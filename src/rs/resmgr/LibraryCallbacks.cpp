#include "rs/resmgr/LibraryCallbacks.h"

#include "common/KavAssert.h"
#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/resmgr/IResourceConsumer.h"
#include "rs/resmgr/ResManagerCommon.h"

#include <cstdlib>
#include <sstream>

namespace rs::resmgr {

std::string attribute(const zor_hostslots_t& host, const char* name)
{
    for (int i = 0; i < host.nattr; ++i)
        if (host.attrs[i].name && std::string(host.attrs[i].name) == name && host.attrs[i].value)
            return host.attrs[i].value;
    return {};
}

float cpuFactorOf(const zor_hostslots_t& host)
{
    std::string cpuf = attribute(host, "cpuf");
    return cpuf.empty() ? 1.0f : std::strtof(cpuf.c_str(), nullptr);
}

LibraryCallbacks::LibraryCallbacks(ConsumerTable& table, log4cxx::LoggerPtr logger)
    : table_(table)
    , logger_(std::move(logger))
{
}

const zor_callbacks_t& LibraryCallbacks::table()
{
    // The client library calls back on its own thread, through C: what a
    // callback throws is logged as an error line and goes no further.
    static constexpr auto deliver = [](void* ctx, auto&& call) noexcept {
        auto* c = static_cast<ConsumerTable::CallbackContext*>(ctx);
        try {
            call(*c->callbacks, c->consumerId);
        } catch (...) {
            kav::logEscapedException(c->callbacks->logger_, __FILE__, __LINE__);
        }
    };
    using Id = const std::string&;
    static const zor_callbacks_t table {
        [](zor_handle_t*, void* ctx, const zor_allocation_t* added) {
            deliver(ctx, [&](LibraryCallbacks& cb, Id id) { cb.addResource(id, *added); });
        },
        [](zor_handle_t*, void* ctx, const zor_reclaimlist_t* reclaimed) {
            deliver(ctx, [&](LibraryCallbacks& cb, Id id) { cb.reclaimForce(id, *reclaimed); });
        },
        [](zor_handle_t*, void* ctx, const zor_container_t* container) {
            deliver(ctx, [&](LibraryCallbacks& cb, Id id) { cb.containerStateChg(id, *container); });
        },
        [](zor_handle_t*, void* ctx, const char* host, int32_t state) {
            deliver(ctx, [&](LibraryCallbacks& cb, Id id) { cb.hostStateChange(id, host, state); });
        },
        [](zor_handle_t*, void* ctx) {
            deliver(ctx, [](LibraryCallbacks& cb, Id id) { cb.connectionEvent(id, "connection lost"); });
        },
        [](zor_handle_t*, void* ctx) {
            deliver(ctx, [](LibraryCallbacks& cb, Id id) { cb.connectionEvent(id, "connection ok"); });
        },
        [](zor_handle_t*, void* ctx) {
            deliver(ctx, [](LibraryCallbacks& cb, Id id) { cb.connectionEvent(id, "connection failed"); });
        },
    };
    return table;
}

void LibraryCallbacks::addResource(const std::string& consumerId, const zor_allocation_t& added)
{
    if (added.nhost <= 0) {
        kav::logAssertFailure("allocReplyList->nhost > 0", __FILE__, __LINE__);
        return;
    }
    std::vector<kav::RefPtr<VrmResource>> fresh;
    IResourceConsumer* callback;
    {
        std::lock_guard lock(table_.mutex());
        ZORConsumer* consumer = table_.findLocked(consumerId);
        if (!consumer) {
            kav::logAssertFailure("consumer in m_zorConsumerMap", __FILE__, __LINE__);
            return;
        }
        callback = consumer->callback();
        for (int i = 0; i < added.nhost; ++i) {
            const zor_hostslots_t& host = added.hosts[i];
            for (int slot = 0; slot < host.slots; ++slot) {
                auto r = kav::RefPtr<VrmResource>::adopt(new VrmResource(
                    host.hostName, attribute(host, "type"), consumerId, added.allocId, cpuFactorOf(host)));
                consumer->addResource(r.get());
                fresh.push_back(r);
            }
        }
    }
    for (auto& r : fresh)
        if (callback->onResource(r.get()) < 0)
            logAndDropError(logger_, "onResource");
}

void LibraryCallbacks::reclaimForce(const std::string& consumerId, const zor_reclaimlist_t& reclaimed)
{
    if (reclaimed.nreclaim <= 0 || !reclaimed.reclaims) {
        kav::setError(
            kav::rc::ZOR_CALL_FAILED, "reclaim without a reclaim list", KAV_LOCATION, { consumerId });
        logAndDropError(logger_, "reclaimForce");
        return;
    }
    ConsumerTable::ConsumerPtr consumer = table_.find(consumerId);
    for (int i = 0; consumer && i < reclaimed.nreclaim; ++i) {
        if (consumer->callback()->onReclaimForce(reclaimed.reclaims[i].allocId) < 0)
            logAndDropError(logger_, "onReclaimForce");
        for (int k = 0; k < reclaimed.reclaims[i].nhost; ++k)
            onReclaimResource(consumerId, reclaimed.reclaims[i].hosts[k].hostName);
    }
}

void LibraryCallbacks::onReclaimResource(const std::string& consumerId, const std::string& host)
{
    ZORConsumer::Resources taken;
    IResourceConsumer* callback;
    {
        std::lock_guard lock(table_.mutex());
        ZORConsumer* consumer = table_.findLocked(consumerId);
        if (!consumer)
            return;
        taken = consumer->takeResourcesOn(host);
        callback = consumer->callback();
    }
    LOG4CXX_INFO(logger_,
        "OnReclaimResource consumerId='" << consumerId << "' host='" << host
                                         << "' resources=" << taken.size());
    for (auto& r : taken)
        if (callback->onReclaimResource(r.get()) < 0)
            logAndDropError(logger_, "onReclaimResource");
}

void LibraryCallbacks::containerStateChg(const std::string& consumerId, const zor_container_t& container)
{
    std::ostringstream line;
    line << "containerStateChg consumerId='" << consumerId << "' container <" << container.containerId
         << "> host <" << container.hostName << "> state " << containerStateName(container.state);
    if (container.state == ZOR_CONTAINER_FINISH && container.exitReason != ZOR_EXIT_NONE)
        line << " reason: " << zor_strexitreason(container.exitReason) << " (" << container.exitStatus << ")";
    LOG4CXX_INFO(logger_, line.str());
    std::lock_guard lock(table_.mutex());
    if (ZORConsumer* consumer = table_.findLocked(consumerId))
        if (VrmResource* r = consumer->findByContainer(container.containerId))
            r->setContainerState(container.state);
    table_.recordContainerStateLocked(container.containerId, container.state);
}

void LibraryCallbacks::hostStateChange(const std::string& consumerId, const std::string& host, int state)
{
    LOG4CXX_INFO(logger_,
        "hostStateChange consumerId='" << consumerId << "' host <" << host << "> state "
                                       << hostStateName(state));
    if (state == ZOR_HOST_UNAVAIL)
        onReclaimResource(consumerId, host);
}

void LibraryCallbacks::connectionEvent(const std::string& consumerId, const char* what)
{
    LOG4CXX_ERROR(
        logger_, what << ": clientName='" << table_.clientName() << "' consumerId='" << consumerId << "'");
}

} // namespace rs::resmgr
