#pragma once
// File contents for uploads made by the tests and the benchmark.

#include <cstddef>
#include <string>

namespace rs::harness {

// Contents of the given size that differ for each seed.
std::string patternBytes(size_t size, unsigned seed);

} // namespace rs::harness
