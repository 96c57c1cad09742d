#pragma once
// Reading the resource manager's configuration parameters (QEL_LIBDIR,
// QEL_EVENT_PLUGIN, QEL_SEC_PLUGIN, QEL_AUDIT_LOGDIR, ...). Components take a
// ConfParamReader so that tests can hand them their own values.

#include <functional>
#include <optional>
#include <string>

namespace kav {

// The value of a parameter, or nothing when it is not set.
using ConfParamReader = std::function<std::optional<std::string>(const std::string& name)>;

// The reader over the resource manager client library (zor_getconfparam).
// Thread-safe.
ConfParamReader resourceManagerConfParams();

} // namespace kav
