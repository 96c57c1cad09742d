#pragma once
// Test helpers for the driver: a logger that keeps its lines, a handler that
// records every callback and lets the test wait for them, raw peer sockets,
// and fixtures that run a driver.

#include "zephcomm/driver/zephcommdrv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace drvtest {

using namespace std::chrono_literals;

class CapturingLogger : public zephcommdrv::Logger {
public:
    void vlog(const char* source, int, const char* format, va_list args) override
    {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(std::string(source) + ": " + text);
    }
    bool isEnabled() override { return true; }
    bool contains(const std::string& part)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::string& line : lines_)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

enum class Kind { Accept, Connect, Receive, Send };

struct Event {
    Kind kind;
    int error = 0;
    zephcommdrv::Channel* channel = nullptr;
    void* token = nullptr;
    void* buffer = nullptr;
    size_t length = 0;
};

// Records callbacks; the test waits for them (bounded, so a missing callback
// fails the test instead of hanging it).
class RecordingHandler : public zephcommdrv::Handler {
public:
    void accept_CB(int error, zephcommdrv::Channel* channel) override
    {
        push({ Kind::Accept, error, channel });
    }
    void connect_CB(int error, zephcommdrv::Channel* channel) override
    {
        push({ Kind::Connect, error, channel });
    }
    void receive_CB(int error, void* buffer, size_t length, zephcommdrv::Channel* channel) override
    {
        push({ Kind::Receive, error, channel, nullptr, buffer, length });
    }
    void send_CB(void* token, int error, zephcommdrv::Channel* channel) override
    {
        push({ Kind::Send, error, channel, token });
    }

    // The oldest recorded event of `kind`, waiting up to `limit` for it.
    std::optional<Event> next(Kind kind, std::chrono::milliseconds limit = 20s)
    {
        std::unique_lock<std::mutex> guard(lock_);
        std::optional<Event> found;
        cv_.wait_for(guard, limit, [&] {
            for (auto it = events_.begin(); it != events_.end(); ++it) {
                if (it->kind == kind) {
                    found = *it;
                    events_.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    size_t pending(Kind kind)
    {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<size_t>(
            std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.kind == kind; }));
    }

private:
    void push(Event e)
    {
        std::lock_guard<std::mutex> guard(lock_);
        events_.push_back(e);
        cv_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable cv_;
    std::deque<Event> events_;
};

// Sets an environment variable (unsets it for nullptr) for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

inline int portOf(zephcommdrv::Acceptor* acceptor)
{
    char address[256];
    if (acceptor->getConnectAddr(address, sizeof address) != 0)
        return -1;
    const std::string text(address);
    return std::atoi(text.substr(text.rfind(':') + 1).c_str());
}

// A blocking client socket connected to 127.0.0.1:port, or -1.
inline int rawConnect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool writeAll(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Up to `count` bytes: fewer when the stream ends first.
inline std::string readExactly(int fd, size_t count)
{
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, bytes.data() + done, count - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

inline std::string pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed * 7) & 0xFF);
    return bytes;
}

// A running driver with 4 threads and a listening acceptor on loopback.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 4, &logger, nullptr, nullptr), 0);
        acceptor = driver->createAcceptor("127.0.0.1:0");
        ASSERT_NE(acceptor, nullptr);
        ASSERT_EQ(acceptor->startAccept(&acceptHandler, 0), 0);
        port = portOf(acceptor);
        ASSERT_GT(port, 0);
    }
    void TearDown() override
    {
        if (acceptor) {
            acceptor->destroy();
            acceptHandler.next(Kind::Accept, 5s);
        }
        if (driver)
            driver->destroy();
    }

    CapturingLogger logger;
    zephcommdrv::Driver* driver = nullptr;
    zephcommdrv::Acceptor* acceptor = nullptr;
    RecordingHandler acceptHandler;
    int port = 0;
};

// A running driver with one accepted connection: `channel` is the driver's
// end, `peer` a raw blocking socket at the other; `handler` records the
// channel's callbacks. Both ends are closed after the test unless the test
// closed them itself (destroyChannel, closePeer).
class AcceptedChannelTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (HasFatalFailure())
            return;
        peer = rawConnect(port);
        ASSERT_GE(peer, 0);
        auto accepted = acceptHandler.next(Kind::Accept);
        ASSERT_TRUE(accepted && accepted->error == 0 && accepted->channel);
        channel = accepted->channel;
    }
    void TearDown() override
    {
        destroyChannel();
        closePeer();
        DriverTest::TearDown();
    }
    void destroyChannel()
    {
        if (channel)
            channel->destroy();
        channel = nullptr;
    }
    void closePeer()
    {
        if (peer >= 0)
            ::close(peer);
        peer = -1;
    }

    int peer = -1;
    zephcommdrv::Channel* channel = nullptr;
    RecordingHandler handler;
};

} // namespace drvtest
