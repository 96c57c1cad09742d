#pragma once
// Holds a reference on an event handler for the length of an upcall, so
// that a handler that unregisters itself, or whose owner lets go of it on
// another thread meanwhile, outlives the upcall's last statement.

#include <ace/Event_Handler.h>

namespace zephcommTcpDrv {

class UpcallGuard {
public:
    explicit UpcallGuard(ACE_Event_Handler* handler)
        : handler_(handler)
    {
        handler_->add_reference();
    }
    ~UpcallGuard() { handler_->remove_reference(); }
    UpcallGuard(const UpcallGuard&) = delete;
    UpcallGuard& operator=(const UpcallGuard&) = delete;

private:
    ACE_Event_Handler* handler_;
};

} // namespace zephcommTcpDrv
