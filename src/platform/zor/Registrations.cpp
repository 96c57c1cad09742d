#include "platform/zor/Registrations.h"

#include "platform/zor/ZorError.h"

namespace zor {

Registrations::Registrations(std::mutex& mutex, Dispatcher& dispatcher)
    : mutex_(mutex)
    , dispatcher_(dispatcher)
{
}

uint64_t Registrations::open()
{
    auto handle = std::make_unique<Handle>();
    handle->id = nextId_++;
    uint64_t id = handle->id;
    handles_[id] = std::move(handle);
    return id;
}

void Registrations::close(uint64_t h)
{
    handles_.erase(h);
}

Registrations::Handle& Registrations::handle(uint64_t h)
{
    auto it = handles_.find(h);
    if (it == handles_.end())
        fail(ZORE_BADHANDLE, "the handle is not open");
    return *it->second;
}

Registrations::Handle& Registrations::consumerHandle(uint64_t h)
{
    Handle& registered = handle(h);
    if (registered.consumer.empty())
        fail(ZORE_NOTREGISTERED, "the handle is not registered as a consumer");
    return registered;
}

std::vector<uint64_t> Registrations::ids() const
{
    std::vector<uint64_t> out;
    for (auto& [id, h] : handles_)
        out.push_back(id);
    return out;
}

// ---------------------------------------------------------------- logon

void Registrations::logon(uint64_t h, const std::string& credential)
{
    Handle& logged = handle(h);
    if (credential.empty())
        fail(ZORE_BADARG, "empty credential");
    logged.loggedOn = true;
    logged.credential = credential;
    if (logged.containerCredential.empty())
        logged.containerCredential = credential;
}

void Registrations::logoff(uint64_t h)
{
    Handle& logged = handle(h);
    if (!logged.loggedOn)
        fail(ZORE_NOTLOGGEDON, "the handle is not logged on");
    logged.loggedOn = false;
    logged.credential.clear();
}

std::string Registrations::credential(uint64_t h)
{
    Handle& logged = handle(h);
    if (!logged.loggedOn)
        fail(ZORE_NOTLOGGEDON, "the handle is not logged on");
    return logged.credential;
}

void Registrations::refreshCredential(uint64_t h, const std::string& consumer)
{
    Handle& registered = consumerHandle(h);
    if (normaliseConsumerPath(consumer) != registered.consumer)
        fail(ZORE_BADCONSUMER,
            "the handle is registered as '" + registered.consumer + "', not '" + consumer + "'");
    if (!registered.loggedOn)
        fail(ZORE_NOTLOGGEDON, "the handle is not logged on");
    registered.containerCredential = registered.credential;
}

// ---------------------------------------------------------------- registration

std::string Registrations::enrol(uint64_t h, zor_handle_t* self, const zor_regreq_t& request,
    const zor_callbacks_t& callbacks, const ClusterDescription& description)
{
    Handle& registering = handle(h);
    if (!registering.loggedOn)
        fail(ZORE_NOTLOGGEDON, "log on before registering a consumer");
    if (!registering.consumer.empty())
        fail(ZORE_ALREADYREG, "the handle is registered as '" + registering.consumer + "' already");
    if (!request.name || !*request.name)
        fail(ZORE_BADARG, "empty consumer path");
    std::string path = normaliseConsumerPath(request.name);
    if (!description.isConsumer(path))
        fail(ZORE_BADCONSUMER, "'" + path + "' is not a consumer of the cluster");
    registering.consumer = path;
    registering.self = self;
    registering.callbacks = callbacks;
    registering.context = request.context;
    return path;
}

void Registrations::withdraw(uint64_t h)
{
    Handle& registered = handle(h);
    registered.consumer.clear();
    registered.callbacks = {};
    registered.context = nullptr;
}

bool Registrations::isRegistered(uint64_t h, const std::string& path) const
{
    auto it = handles_.find(h);
    return it != handles_.end() && it->second->consumer == path;
}

// ---------------------------------------------------------------- callbacks

void Registrations::post(uint64_t h, Callback callback, Dispatcher::Clock::time_point due)
{
    dispatcher_.post(due, [this, h, callback = std::move(callback)] { deliver(h, callback); });
}

void Registrations::deliver(uint64_t h, const Callback& callback)
{
    std::unique_lock lock(mutex_);
    auto it = handles_.find(h);
    if (it == handles_.end() || it->second->consumer.empty())
        return;
    zor_callbacks_t callbacks = it->second->callbacks;
    zor_handle_t* self = it->second->self;
    void* context = it->second->context;
    deliveringTo_ = h;
    lock.unlock();
    callback(self, callbacks, context);
    lock.lock();
    deliveringTo_ = 0;
    callbackDone_.notify_all();
}

void Registrations::waitForCallbacks(std::unique_lock<std::mutex>& lock, uint64_t h)
{
    if (dispatcher_.onDispatcherThread())
        return; // the running callback is the caller itself
    callbackDone_.wait(lock, [&] { return deliveringTo_ == 0 || (h != 0 && deliveringTo_ != h); });
}

} // namespace zor
