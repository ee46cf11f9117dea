#include "update/log.h"

#include <atomic>
#include <string>

namespace {

std::atomic<LogSink> sink{nullptr};

} // namespace

void setLogSink(LogSink to)
{
    sink = to;
}

void logMessage(LogKind kind, std::string_view message)
{
    if (const LogSink to = sink) {
        to(kind, message);
    }
}

void logMoment(std::string_view what, std::int64_t at)
{
    logMessage(LogKind::Timing, std::string(what) + " at " + std::to_string(at) + " us");
}
