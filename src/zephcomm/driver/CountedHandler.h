#pragma once
// An event handler whose reference count lives here, in a std::atomic,
// rather than in ACE's own counter: the event loop still takes and gives back
// references through the virtual add_reference/remove_reference, and the
// count's release/acquire ordering is visible to our thread checkers. The
// object deletes itself when the count reaches 0. The creator holds the
// first reference.

#include <ace/Event_Handler.h>

#include <atomic>

namespace zephcommTcpDrv {

class CountedHandler : public ACE_Event_Handler {
public:
    CountedHandler() { reference_counting_policy().value(Reference_Counting_Policy::ENABLED); }
    CountedHandler(const CountedHandler&) = delete;
    CountedHandler& operator=(const CountedHandler&) = delete;

    Reference_Count add_reference() override { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }

    Reference_Count remove_reference() override
    {
        const Reference_Count left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    ~CountedHandler() override = default;

private:
    std::atomic<Reference_Count> count_ { 1 };
};

} // namespace zephcommTcpDrv
