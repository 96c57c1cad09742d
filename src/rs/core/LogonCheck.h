#pragma once
// The check both interfaces' logon work items run on a worker thread:
// authenticate the credential, then verify the consumer.
//
// Threads: worker threads.

#include <string>

namespace rs {

class ServiceContext;

// Fills token and user name on success. Throws KavException 0xD0014C21 when
// the credential is refused and 0xD0014C2C (parameter: the consumer) when
// the consumer is not known. The empty consumer (the global index) is not
// checked. The credential never appears in an error.
void checkLogon(ServiceContext& context, const std::string& credential, const std::string& consumer,
    std::string& responseToken, std::string& userName);

} // namespace rs
