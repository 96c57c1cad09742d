#include "zephcomm/driver/SendQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using zephcommTcpDrv::HandlerNode;
using zephcommTcpDrv::NodeList;
using zephcommTcpDrv::SendQueue;

namespace {

constexpr size_t kLimit = zephcommdrv::kMaxIoBytes;

// A writer that records every call and takes at most `take` bytes a call.
struct RecordingWriter {
    size_t take = SIZE_MAX;
    std::vector<size_t> offered;
    std::vector<int> iovCounts;
    std::string wire;

    SendQueue::WriteFn fn()
    {
        return [this](const iovec* iov, int count) -> ssize_t {
            size_t total = 0;
            for (int i = 0; i < count; ++i)
                total += iov[i].iov_len;
            offered.push_back(total);
            iovCounts.push_back(count);
            size_t left = std::min(take, total);
            const size_t taken = left;
            for (int i = 0; i < count && left > 0; ++i) {
                const size_t part = std::min(left, iov[i].iov_len);
                wire.append(static_cast<const char*>(iov[i].iov_base), part);
                left -= part;
            }
            return static_cast<ssize_t>(taken);
        };
    }
};

HandlerNode* nodeOver(const std::string& bytes, intptr_t token)
{
    const void* buffers[] = { bytes.data() };
    const size_t lengths[] = { bytes.size() };
    return new HandlerNode(nullptr, reinterpret_cast<void*>(token), 1, buffers, lengths);
}

std::string bytesOf(size_t size, char seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(seed + i % 23);
    return s;
}

std::vector<const void*> drainBases(NodeList& list)
{
    std::vector<const void*> bases;
    while (HandlerNode* node = list.pop()) {
        bases.push_back(node->iov()[0].iov_base);
        delete node;
    }
    return bases;
}

} // namespace

TEST(SendQueue, QueuedSmallRequestsLeaveInOneGatheredWrite)
{
    SendQueue queue(1 << 30);
    std::vector<std::string> messages;
    for (int i = 0; i < 10; ++i)
        messages.push_back(bytesOf(100, static_cast<char>('a' + i)));
    for (const std::string& m : messages)
        ASSERT_TRUE(queue.push(nodeOver(m, 0)));

    RecordingWriter writer;
    NodeList done;
    EXPECT_EQ(queue.write(writer.fn(), done), 0);
    ASSERT_EQ(writer.offered.size(), 1u);
    EXPECT_EQ(writer.iovCounts[0], 10);
    std::string expected;
    for (const std::string& m : messages)
        expected += m;
    EXPECT_EQ(writer.wire, expected);
    const auto bases = drainBases(done);
    ASSERT_EQ(bases.size(), 10u);
    for (size_t i = 0; i < bases.size(); ++i)
        EXPECT_EQ(bases[i], messages[i].data()) << "completion order is send order";
    EXPECT_TRUE(queue.empty());
}

TEST(SendQueue, NoWriteOffersMoreThanTheLimit)
{
    SendQueue queue(1 << 30);
    const std::string big = bytesOf(2 * kLimit + 1000, 'x');
    ASSERT_TRUE(queue.push(nodeOver(big, 0)));
    RecordingWriter writer;
    NodeList done;
    EXPECT_EQ(queue.write(writer.fn(), done), 0);
    ASSERT_EQ(writer.offered.size(), 3u);
    for (size_t offered : writer.offered)
        EXPECT_LE(offered, kLimit);
    EXPECT_EQ(writer.wire, big);
    EXPECT_EQ(drainBases(done).size(), 1u);
}

TEST(SendQueue, ABatchTakesQueuedRequestsOnlyWhileBelowTheLimit)
{
    SendQueue queue(1 << 30);
    const size_t part = 300 * 1024;
    const std::string a = bytesOf(part, 'a'), b = bytesOf(part, 'b'), c = bytesOf(part, 'c');
    for (const std::string* s : { &a, &b, &c })
        ASSERT_TRUE(queue.push(nodeOver(*s, 0)));
    RecordingWriter writer;
    NodeList done;
    EXPECT_EQ(queue.write(writer.fn(), done), 0);
    // a and b form the first batch; c is not mixed into its last write.
    ASSERT_EQ(writer.offered.size(), 3u);
    EXPECT_EQ(writer.offered[0], kLimit);
    EXPECT_EQ(writer.offered[1], 2 * part - kLimit);
    EXPECT_EQ(writer.offered[2], part);
    EXPECT_EQ(writer.wire, a + b + c);
    EXPECT_EQ(drainBases(done).size(), 3u);
}

TEST(SendQueue, PartialWritesResumeWhereTheyStopped)
{
    SendQueue queue(1 << 30);
    const std::string first = bytesOf(10, 'f'), second = bytesOf(15, 's');
    ASSERT_TRUE(queue.push(nodeOver(first, 1)));
    ASSERT_TRUE(queue.push(nodeOver(second, 2)));
    RecordingWriter writer;
    writer.take = 7;
    NodeList done;
    int rounds = 0;
    while (queue.write(writer.fn(), done) == SendQueue::kWait)
        ++rounds;
    EXPECT_EQ(rounds, 3) << "7 + 7 + 7 + 4 bytes";
    EXPECT_EQ(writer.wire, first + second);
    const auto bases = drainBases(done);
    ASSERT_EQ(bases.size(), 2u);
    EXPECT_EQ(bases[0], first.data());
    EXPECT_EQ(bases[1], second.data());

    // A writer that would block takes nothing and the queue keeps its bytes.
    const std::string third = bytesOf(5, 't');
    ASSERT_TRUE(queue.push(nodeOver(third, 3)));
    writer.take = 0;
    EXPECT_EQ(queue.write(writer.fn(), done), SendQueue::kWait);
    EXPECT_EQ(queue.pendingBytes(), 5u);
    writer.take = SIZE_MAX;
    EXPECT_EQ(queue.write(writer.fn(), done), 0);
    EXPECT_EQ(drainBases(done).size(), 1u);
}

TEST(SendQueue, TheBoundRefusesAccumulationButNotOneLargeRequest)
{
    SendQueue queue(1000);
    const std::string huge = bytesOf(5000, 'h'), small = bytesOf(600, 's');
    ASSERT_TRUE(queue.push(nodeOver(huge, 0))) << "alone, a request larger than the bound is taken";
    HandlerNode* refused = nodeOver(small, 0);
    EXPECT_FALSE(queue.push(refused));
    delete refused;

    RecordingWriter writer;
    NodeList done;
    EXPECT_EQ(queue.write(writer.fn(), done), 0);
    drainBases(done);
    ASSERT_TRUE(queue.push(nodeOver(small, 0)));
    HandlerNode* second = nodeOver(small, 0);
    EXPECT_FALSE(queue.push(second)) << "600 + 600 is over 1000";
    delete second;
    EXPECT_TRUE(queue.push(nodeOver(bytesOf(400, 'f'), 0))) << "600 + 400 fills the bound exactly";
    NodeList left;
    queue.drain(left);
    EXPECT_EQ(drainBases(left).size(), 2u);
    EXPECT_EQ(queue.pendingBytes(), 0u);
}

TEST(SendQueue, AWriterErrorIsReturnedAndDrainKeepsSendOrder)
{
    SendQueue queue(1 << 30);
    const std::string a = bytesOf(10, 'a'), b = bytesOf(10, 'b'), empty;
    ASSERT_TRUE(queue.push(nodeOver(a, 0)));
    ASSERT_TRUE(queue.push(nodeOver(b, 0)));
    NodeList done;
    EXPECT_EQ(queue.write([](const iovec*, int) -> ssize_t { return -32; }, done), -32);
    EXPECT_TRUE(done.empty());
    NodeList left;
    queue.drain(left);
    const auto bases = drainBases(left);
    ASSERT_EQ(bases.size(), 2u);
    EXPECT_EQ(bases[0], a.data());
    EXPECT_EQ(bases[1], b.data());

    // A request of no bytes completes without a write.
    ASSERT_TRUE(queue.push(nodeOver(empty, 0)));
    RecordingWriter writer;
    EXPECT_EQ(queue.write(writer.fn(), done), 0);
    EXPECT_TRUE(writer.offered.empty());
    EXPECT_EQ(drainBases(done).size(), 1u);
}
