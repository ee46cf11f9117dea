#pragma once

#include <chrono>
#include <cstdint>

// Time as the transfer measures it: monotonic milliseconds, 64-bit, so it never wraps while
// the program runs. Every wait of a transfer passes on it, so that a test's clock can step
// through a pause instead of sitting it out.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t milliseconds() = 0;
    virtual void sleep(std::chrono::milliseconds length) = 0;
};

class SteadyClock final : public Clock {
public:
    std::int64_t milliseconds() override;
    void sleep(std::chrono::milliseconds length) override;
};

// The monotonic clock other programs on the system read too (CLOCK_MONOTONIC on Linux), in
// microseconds: the benchmarks hold the program's timing notes against their own clock.
std::int64_t monotonicMicroseconds();
