#include "support/FakeServiceContext.h"

#include "common/ResultCodes.h"
#include "rs/deployment/operations/DeploymentRuntime.h"

#include <algorithm>
#include <cctype>

namespace rs::test {

namespace {

std::string shortName(std::string host)
{
    host = host.substr(0, host.find('.'));
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    return host;
}

bool covers(const std::string& roleConsumer, const std::string& consumer)
{
    return roleConsumer == "/" || consumer == roleConsumer || consumer.starts_with(roleConsumer + "/");
}

} // namespace

FakeServiceContext::FakeServiceContext()
    : storageDir_(storage_.path().string())
{
}

FakeServiceContext::~FakeServiceContext()
{
    queued.clear();
    if (deployment_)
        deployment_->shutdown();
}

void FakeServiceContext::runQueued()
{
    while (!queued.empty()) {
        auto next = std::max_element(
            queued.begin(), queued.end(), [](const auto& a, const auto& b) { return a->kind() < b->kind(); });
        std::unique_ptr<Work> work = std::move(*next);
        queued.erase(next);
        work->process();
    }
}

void FakeServiceContext::startDeployment(IDeployResources& resources, int32_t hostTimeout)
{
    DeploymentHostHooks hooks { [](const std::string& a, const std::string& b) {
                                   return !a.empty() && shortName(a) == shortName(b);
                               },
        {}, {} };
    deployment_ = std::make_unique<DeploymentRuntime>(
        std::move(hooks), storageDir_, hostTimeout, resources, [this] { return clock; },
        [this](uint32_t number, const kav::Params& params, bool isError) { audit(number, params, isError); });
}

int32_t FakeServiceContext::authenticate(
    const std::string& credential, std::string& responseToken, std::string& userName)
{
    auto found = users.find(credential);
    if (found == users.end())
        return kav::setError(kav::rc::SEC_AUTH_FAILED, "credential refused", KAV_LOCATION);
    responseToken = "token of " + found->second;
    userName = found->second;
    return 0;
}

int32_t FakeServiceContext::checkConsumerId(const std::string& consumer)
{
    return consumers.contains(consumer) ? 0 : kav::rc::ZOR_CALL_FAILED;
}

int32_t FakeServiceContext::checkResourceGroup(const std::string& group)
{
    auto found = groups.find(group);
    if (found == groups.end())
        return kav::rc::ZOR_CALL_FAILED;
    if (found->second.empty())
        KAV_THROW(kav::rc::RS_EMPTY_GROUP, "resource group has no hosts", { group });
    return 0;
}

int32_t FakeServiceContext::checkHostName(const std::string& host)
{
    return checkHostInGroup(host, kClusterGroup);
}

int32_t FakeServiceContext::checkHostInGroup(const std::string& host, const std::string& group)
{
    if (int32_t result = checkResourceGroup(group); result < 0)
        return result;
    for (const std::string& member : groups[group])
        if (shortName(member) == shortName(host))
            return 0;
    KAV_THROW(kav::rc::RS_UNKNOWN_HOST, "host is not in the resource group " + group, { host });
}

int32_t FakeServiceContext::checkRole(
    const std::string& user, const std::string& consumer, int level, std::string&)
{
    for (const Role& role : roles)
        if (role.user == user && role.level <= level && covers(role.consumer, consumer))
            return 0;
    return kav::setError(kav::rc::ZOR_CALL_FAILED, "no role", KAV_LOCATION);
}

int32_t FakeServiceContext::enqueue(std::unique_ptr<Work> work)
{
    if (enqueueResult < 0)
        return kav::setError(enqueueResult, "not queued", KAV_LOCATION);
    queued.push_back(std::move(work));
    return 0;
}

bool FakeServiceContext::runAtOnce(Work& work)
{
    if (!runsAtOnce || !work.answerableAtOnce())
        return false;
    work.process();
    return true;
}

void FakeServiceContext::audit(uint32_t number, const kav::Params& params, bool isError)
{
    audited.push_back({ number, params, "", isError });
}

void FakeServiceContext::auditText(const std::string& text, bool isError)
{
    audited.push_back({ 0, {}, text, isError });
}

} // namespace rs::test
