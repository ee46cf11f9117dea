#pragma once

#include <QLoggingCategory>

#include <chrono>
#include <cstdint>

// Why something failed, for whoever diagnoses it: warnings are on.
Q_DECLARE_LOGGING_CATEGORY(updaterLog)
// Moments the benchmarks measure (off unless QT_LOGGING_RULES turns its debug output on).
Q_DECLARE_LOGGING_CATEGORY(timingLog)

// The monotonic clock other programs on the system read too, in microseconds.
inline std::int64_t monotonicMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
