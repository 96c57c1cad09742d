#pragma once
// How long a connection may keep the receive side of a channel waiting.
//
// Two limits, both in milliseconds (0: off):
//  - partial: a receive whose first bytes have arrived must complete within
//    this time, or at least move on by kProgressBytes within it (a large
//    message over a slow link restarts the clock that way), so a peer that
//    sends a message byte by byte, or stops in the middle of one, cannot
//    hold the connection and its buffers for ever;
//  - idle: a receive that has not got its first byte yet is given up after
//    this time (off by default: clients legitimately wait long for answers).
// The channel reports the receive's steps; the driver's watchdog asks for a
// verdict now and then.
//
// Not synchronised: a ReceiveWatch belongs to one channel and is used under
// its lock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zephcommTcpDrv {

struct ReceiveLimits {
    static constexpr int64_t kDefaultPartialMs = 60000;
    static constexpr const char* kPartialVariable = "ZEPHCOMMDRV_TCP_PARTIAL_TIMEOUT_SEC";
    static constexpr const char* kIdleVariable = "ZEPHCOMMDRV_TCP_IDLE_TIMEOUT_SEC";

    int64_t partialMs = kDefaultPartialMs;
    int64_t idleMs = 0;

    bool any() const { return partialMs > 0 || idleMs > 0; }
    // The limits given by the two variables (whole seconds, 0 turns a limit
    // off); an unset or empty variable leaves its default, and so does a malformed
    // one, which is added to `rejected` as "NAME=value" for the log.
    static ReceiveLimits fromEnvironment(std::vector<std::string>* rejected = nullptr);
};

class ReceiveWatch {
public:
    enum class Verdict { Fine, Idle, Partial };
    static constexpr size_t kProgressBytes = 65536;

    // A receive was posted at `now` and has no byte yet.
    void started(int64_t now)
    {
        waiting_ = true;
        partial_ = false;
        since_ = now;
    }
    // The pending receive has `received` of its bytes, not all. The first
    // call of a receive starts its partial-message clock; later ones restart
    // it only once kProgressBytes more have arrived.
    void gotSome(int64_t now, size_t received)
    {
        if (!waiting_ || (partial_ && received - mark_ < kProgressBytes))
            return;
        partial_ = true;
        since_ = now;
        mark_ = received;
    }
    // No receive is pending (completed, or the channel closed).
    void finished() { waiting_ = false; }

    // Whether the pending receive has overrun its limit at `now`.
    Verdict check(int64_t now, const ReceiveLimits& limits) const
    {
        if (!waiting_)
            return Verdict::Fine;
        const int64_t limit = partial_ ? limits.partialMs : limits.idleMs;
        if (limit <= 0 || now - since_ < limit)
            return Verdict::Fine;
        return partial_ ? Verdict::Partial : Verdict::Idle;
    }

private:
    bool waiting_ = false;
    bool partial_ = false;
    int64_t since_ = 0;
    size_t mark_ = 0; // bytes received when the clock last started
};

} // namespace zephcommTcpDrv
