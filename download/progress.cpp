#include "download/progress.h"

#include <cmath>

float elapsedSeconds(std::int64_t elapsedMs)
{
    return float((double(elapsedMs) + 0.1) / 1000);
}

double speedKbPerSecond(std::int64_t received, float seconds)
{
    const double speed = double(received) / 1024 / double(seconds);
    // The program keeps the default rounding mode, in which nearbyint takes halves to even.
    return std::nearbyint(speed * 100) / 100;
}

double percentDone(std::int32_t received, std::int32_t total)
{
    return std::floor(double(received) / double(total) * 100);
}

float fillWidth(std::int32_t received, std::int32_t total, double trackWidth)
{
    return float(double(received) / double(total) * trackWidth);
}
