#pragma once
// A failed libzor operation: thrown inside the library and turned into
// zorerrno and its text by the C layer (zor_api.cpp).

#include <string>

namespace zor {

struct ZorError {
    int code; // enum zor_error
    std::string detail;
};

[[noreturn]] inline void fail(int code, std::string detail)
{
    throw ZorError { code, std::move(detail) };
}

} // namespace zor
