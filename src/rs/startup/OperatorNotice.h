#pragma once
// Start-up news the operator must see even when the log goes elsewhere: on
// standard error as "rs: <kind>: <text>" and in the daemon's log at WARN.
//
// Threads: main thread, during start-up.

#include <string>

namespace rs {

void tellOperator(const std::string& kind, const std::string& text);
// A value or file that was not understood and what is done instead.
inline void warnOperator(const std::string& text)
{
    tellOperator("warning", text);
}

} // namespace rs
