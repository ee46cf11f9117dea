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
