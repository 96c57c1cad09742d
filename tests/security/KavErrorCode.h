#pragma once
// The result code of the KavException that fn throws (0 when it throws none);
// the exception is released.

#include "common/KavErrorInfo.h"

#include <cstdint>

namespace testutil {

template <class Fn> int32_t thrownCode(Fn&& fn)
{
    try {
        fn();
    } catch (kav::KavException* e) {
        const int32_t code = e->code();
        e->release();
        return code;
    }
    return 0;
}

} // namespace testutil
