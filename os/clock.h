#pragma once

#include <cstdint>

// Time as the transfer measures it: monotonic milliseconds, 64-bit, so it never wraps while
// the program runs.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t milliseconds() = 0;
};

class SteadyClock final : public Clock {
public:
    std::int64_t milliseconds() override;
};

// The monotonic clock other programs on the system read too (CLOCK_MONOTONIC on Linux), in
// microseconds: the benchmarks hold the program's timing notes against their own clock.
std::int64_t monotonicMicroseconds();
