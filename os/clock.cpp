#include "os/clock.h"

#include <chrono>
#include <thread>

std::int64_t SteadyClock::milliseconds()
{
    using namespace std::chrono;
    return duration_cast<std::chrono::milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::sleep(std::chrono::milliseconds length)
{
    std::this_thread::sleep_for(length);
}

std::int64_t monotonicMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
