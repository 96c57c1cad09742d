// The deployment requests on the service's work queue: the order in which
// waiting requests are taken.

#include "rs/core/Task.h"
#include "rs/deployment/operations/AppDeploymentWork.h"
#include "rs/deployment/operations/AppPackageWork.h"
#include "support/FakeServiceContext.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rs {
namespace {

using namespace std::chrono_literals;

// Stands in for a request on the queue: queued as the real item would be,
// it only records that its turn came.
class QueuedRequest final : public Work {
public:
    QueuedRequest(std::string name, std::unique_ptr<Work> real, std::function<void(const std::string&)> ran)
        : name_(std::move(name))
        , real_(std::move(real))
        , ran_(std::move(ran))
    {
    }
    void process() override { ran_(name_); }
    int32_t kind() const override { return real_->kind(); }
    bool isShared() const override { return real_->isShared(); }

private:
    std::string name_;
    std::unique_ptr<Work> real_;
    std::function<void(const std::string&)> ran_;
};

// Holds the only worker until opened, so that the others wait on the queue.
class Blocker final : public Work {
public:
    Blocker(std::promise<void>& running, std::shared_future<void> open)
        : running_(running)
        , open_(std::move(open))
    {
    }
    void process() override
    {
        running_.set_value();
        open_.wait_for(20s);
    }

private:
    std::promise<void>& running_;
    std::shared_future<void> open_;
};

TEST(AppWorkQueue, WaitingRequestsAreTakenCancelFirstThenListsThenReportsThenRuns)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> order;
    auto ran = [&](const std::string& name) {
        std::lock_guard lock(mutex);
        order.push_back(name);
        changed.notify_all();
    };
    auto queued = [&](const char* name, Work* real) {
        return new QueuedRequest(name, std::unique_ptr<Work>(real), ran);
    };
    test::FakeServiceContext context;
    const AppCaller caller { "admin", "/apps" };

    Task task;
    std::promise<void> running, open;
    ASSERT_EQ(task.openWorkers(1), 0);
    ASSERT_EQ(task.enqueueWork(new Blocker(running, open.get_future().share())), 0);
    ASSERT_EQ(running.get_future().wait_for(20s), std::future_status::ready);
    ASSERT_EQ(task.enqueueWork(queued(
                  "install", new AppInstallPackageWork(context, caller, nullptr, { "web", "", "" }, false))),
        0);
    ASSERT_EQ(task.enqueueWork(queued("list 1", new AppGetModuleListWork(context, caller, nullptr))), 0);
    ASSERT_EQ(
        task.enqueueWork(queued("status report", new AppSetPackageStatusWork(context, caller, nullptr, {}))),
        0);
    ASSERT_EQ(task.enqueueWork(queued("list 2", new AppGetModuleListWork(context, caller, nullptr))), 0);
    ASSERT_EQ(task.enqueueWork(queued(
                  "uninstall", new AppUninstallPackageWork(context, caller, nullptr, { "web", "", "" }))),
        0);
    ASSERT_EQ(task.enqueueWork(queued("list 3", new AppGetModuleListWork(context, caller, nullptr))), 0);
    ASSERT_EQ(
        task.enqueueWork(queued("cancel", new AppCancelPackageWork(context, caller, nullptr, "web"))), 0);
    open.set_value();

    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return order.size() == 7; }));
    EXPECT_EQ(order,
        (std::vector<std::string> {
            "cancel", "list 1", "list 2", "list 3", "status report", "install", "uninstall" }));
    // A status report changes a host's state: it runs alone.
    EXPECT_FALSE(AppSetPackageStatusWork(context, caller, nullptr, {}).isShared());
}

} // namespace
} // namespace rs
