#pragma once

#include "os/clock.h"

#include <cstdint>
#include <string_view>

// Why something failed, said once, for whoever diagnoses it; what a transfer did about a broken
// connection; and moments the benchmarks time. The core says it here; each window sends it
// where its platform keeps such messages.
enum class LogKind { Failure, Notice, Timing };
using LogSink = void (*)(LogKind kind, std::string_view message);

void setLogSink(LogSink sink);
void logMessage(LogKind kind, std::string_view message);

// A timing note "<what> at <that> us" for the benchmarks.
void logMoment(std::string_view what, std::int64_t at = monotonicMicroseconds());
