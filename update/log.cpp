#include "update/log.h"

#include <atomic>

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
