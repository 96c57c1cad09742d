#include "zephcomm/driver/SendQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using zephcommTcpDrv::HandlerNode;
using zephcommTcpDrv::NodeList;
using zephcommTcpDrv::SendQueue;

namespace {

HandlerNode* nodeOver(const std::string& bytes)
{
    const void* buffers[] = { bytes.data() };
    const size_t lengths[] = { bytes.size() };
    return new HandlerNode(nullptr, nullptr, 1, buffers, lengths);
}

// Frees the nodes of `list`; how many there were.
size_t release(NodeList& list)
{
    size_t count = 0;
    for (; HandlerNode* node = list.pop(); ++count)
        delete node;
    return count;
}

} // namespace

TEST(SendQueue, TheBoundRefusesAccumulationButNotOneLargeRequest)
{
    SendQueue queue(1000);
    const std::string huge(5000, 'h'), small(600, 's'), fill(400, 'f');
    ASSERT_TRUE(queue.push(nodeOver(huge))) << "alone, a request larger than the bound is taken";
    std::unique_ptr<HandlerNode> refused(nodeOver(small));
    EXPECT_FALSE(queue.push(refused.get()));

    NodeList done;
    const auto takeAll = [](const iovec* iov, int count) -> ssize_t {
        size_t total = 0;
        for (int i = 0; i < count; ++i)
            total += iov[i].iov_len;
        return static_cast<ssize_t>(total);
    };
    EXPECT_EQ(queue.write(takeAll, done), 0);
    EXPECT_EQ(release(done), 1u);
    ASSERT_TRUE(queue.push(nodeOver(small)));
    EXPECT_FALSE(queue.push(refused.get())) << "600 + 600 is over 1000";
    EXPECT_TRUE(queue.push(nodeOver(fill))) << "600 + 400 fills the bound exactly";
    NodeList left;
    queue.drain(left);
    EXPECT_EQ(release(left), 2u);
    EXPECT_EQ(queue.pendingBytes(), 0u);
}
