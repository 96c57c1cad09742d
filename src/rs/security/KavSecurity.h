#pragma once
// KavSecurity: the process-wide initialisation of the security library.
// initialize() loads the plug-in named by QEL_SEC_PLUGIN (the shared-library
// suffix is appended) with QEL_SEC_CONF as its configuration; finalize()
// unloads it. KavSecurityServer adds the server side.
//
// Threads: initialize() and finalize() run on the main thread, never while
// another thread authenticates. Failures throw KavException.

#include "rs/logging/ConfParam.h"

namespace kav {

class KavSecurity {
public:
    static constexpr const char* kLibrarySuffix = ".so";

    explicit KavSecurity(ConfParamReader params = resourceManagerConfParams());
    virtual ~KavSecurity();
    KavSecurity(const KavSecurity&) = delete;
    KavSecurity& operator=(const KavSecurity&) = delete;

    // The user the last authentication of the calling thread established.
    virtual void getRemoteUserName(std::string& userName) = 0;
    // Throws 0x91015FA0 when no plug-in is configured, 0x91015F9D when the
    // library refuses to load it.
    virtual void initialize();
    virtual void finalize();

protected:
    // The opaque context of the security library; set by the server side.
    void* context_ = nullptr;

private:
    ConfParamReader params_;
    bool loaded_ = false;
};

} // namespace kav
