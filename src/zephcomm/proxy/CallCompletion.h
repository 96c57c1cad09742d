#pragma once
// zephcomm::CallCompletion: receives the calls that a Stub rebuilt from
// arriving messages, and the send completions of calls handed to a Proxy.
//
// Threads: sent() and complete() run on driver threads, one at a time per
// channel. status() is meaningful only inside the operation that complete()
// dispatches, on that thread.
// References (kav::Referable, virtual base): proxies and stubs reference the
// completion while a call is pending or a binding exists.

#include "common/Referable.h"
#include "zephcomm/proxy/Call.h"

namespace zephcomm {

class CallCompletion : public virtual kav::Referable {
public:
    // A call given to Proxy::call has been written (error 0) or failed. The
    // receiver owns the call and normally deletes it.
    virtual void sent(Call* call, int error) = 0;
    // A call arrived and was rebuilt (error 0; the receiver owns the call),
    // or the stub's connection ended (error non-zero, call null).
    virtual void complete(int error, Call* call) = 0;
    // Gives back the creator's reference.
    virtual void destroy() { release(); }
    // The unmarshal result of the call being dispatched (0: every argument read).
    virtual int status() const { return status_; }

protected:
    void setStatus(int status) { status_ = status; }

private:
    int status_ = 0;
};

} // namespace zephcomm
