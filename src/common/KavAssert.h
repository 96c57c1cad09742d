#pragma once
// KAV_ASSERT(expr, failValue): when expr is false, logs
// "KAV_ASSERT: <expr> failed File: <file> Line: <line>" at ERROR on the root
// logger and returns failValue from the enclosing function. Never aborts.

namespace kav {
void logAssertFailure(const char* expression, const char* file, int line);
}

#define KAV_ASSERT(expr, failValue)                                   \
    do {                                                              \
        if (!(expr)) {                                                \
            ::kav::logAssertFailure(#expr, __FILE__, __LINE__);       \
            return failValue;                                         \
        }                                                             \
    } while (0)
