// What the native benchmark programs share: the mean time of one step, and a sink that keeps
// the compiler from dropping work whose result nobody reads.
#ifndef VELMORA_BENCHMARKS_NATIVE_TIMING_H
#define VELMORA_BENCHMARKS_NATIVE_TIMING_H

#include <chrono>
#include <cstdint>

namespace velmora {
namespace loopback {
namespace bench {

// Nanoseconds per call of body(i), i from 0 to frames - 1.
template <typename Body>
int64_t Time(int frames, Body body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) body(i);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    return ns.count() / frames;
}

inline volatile int64_t g_sink = 0;

}  // namespace bench
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_BENCHMARKS_NATIVE_TIMING_H
