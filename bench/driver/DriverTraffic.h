#pragma once
// Traffic helpers the driver benchmarks share: a silent logger, a countdown
// of completions, a collector of new channels, and the two ends of a one-way
// stream of fixed-size messages. Callbacks arrive on driver threads.

#include "zephcomm/driver/zephcommdrv.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace benchtraffic {

class QuietLogger : public zephcommdrv::Logger {
public:
    void vlog(const char*, int, const char*, va_list) override { }
    bool isEnabled() override { return false; }
};

// Counts down completions and lets a thread wait for zero.
class Countdown {
public:
    void reset(long n)
    {
        std::lock_guard<std::mutex> guard(lock_);
        left_ = n;
    }
    void tick()
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (--left_ == 0)
            cv_.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> guard(lock_);
        cv_.wait(guard, [&] { return left_ <= 0; });
    }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    long left_ = 0;
};

// Collects the channels of accepted and connected connections.
class Collector : public zephcommdrv::Handler {
public:
    void accept_CB(int error, zephcommdrv::Channel* channel) override { add(error, channel); }
    void connect_CB(int error, zephcommdrv::Channel* channel) override { add(error, channel); }
    void receive_CB(int, void*, size_t, zephcommdrv::Channel*) override { }
    void send_CB(void*, int, zephcommdrv::Channel*) override { }

    zephcommdrv::Channel* take()
    {
        std::unique_lock<std::mutex> guard(lock_);
        cv_.wait(guard, [&] { return !channels_.empty(); });
        zephcommdrv::Channel* channel = channels_.back();
        channels_.pop_back();
        return channel;
    }

private:
    void add(int error, zephcommdrv::Channel* channel)
    {
        if (error != 0 || !channel)
            return;
        std::lock_guard<std::mutex> guard(lock_);
        channels_.push_back(channel);
        cv_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<zephcommdrv::Channel*> channels_;
};

// Receives fixed-size messages in a loop, counting each.
class Sink : public zephcommdrv::Handler {
public:
    Sink(zephcommdrv::Channel* channel, size_t size, Countdown& done, Countdown& closed)
        : channel_(channel)
        , buffer_(size)
        , done_(done)
        , closed_(closed)
    {
    }
    // Once started, receives again after each message until the channel closes.
    void start()
    {
        if (channel_->receive(buffer_.data(), buffer_.size(), this, 0) != 0)
            closed_.tick();
    }
    void accept_CB(int, zephcommdrv::Channel*) override { }
    void connect_CB(int, zephcommdrv::Channel*) override { }
    void receive_CB(int error, void*, size_t, zephcommdrv::Channel*) override
    {
        if (error != 0) {
            closed_.tick();
            return;
        }
        // The next receive is pending before the message is counted, so a
        // close after the count always finds one to abort.
        start();
        done_.tick();
    }
    void send_CB(void*, int, zephcommdrv::Channel*) override { }

private:
    zephcommdrv::Channel* channel_;
    std::vector<char> buffer_;
    Countdown& done_;
    Countdown& closed_;
};

// Keeps up to `window` sends of one buffer in flight until `total` are sent.
class Source : public zephcommdrv::Handler {
public:
    Source(zephcommdrv::Channel* channel, const std::string& bytes, int window, Countdown& done)
        : channel_(channel)
        , bytes_(bytes)
        , window_(window)
        , done_(done)
    {
    }
    void run(long total)
    {
        left_ = total;
        for (int i = 0; i < window_; ++i)
            sendNext();
    }
    void accept_CB(int, zephcommdrv::Channel*) override { }
    void connect_CB(int, zephcommdrv::Channel*) override { }
    void receive_CB(int, void*, size_t, zephcommdrv::Channel*) override { }
    void send_CB(void*, int error, zephcommdrv::Channel*) override
    {
        done_.tick();
        if (error == 0)
            sendNext();
    }

private:
    void sendNext()
    {
        if (left_.fetch_sub(1) <= 0)
            return;
        const void* buffers[] = { bytes_.data() };
        const size_t lengths[] = { bytes_.size() };
        channel_->send(1, buffers, lengths, this, 0, nullptr);
    }
    zephcommdrv::Channel* channel_;
    const std::string& bytes_;
    int window_;
    Countdown& done_;
    std::atomic<long> left_ { 0 };
};

} // namespace benchtraffic
