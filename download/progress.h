#pragma once

#include <cstdint>

// The arithmetic behind the download's progress display, kept apart from the widgets.

inline constexpr std::int32_t ChunkSize = 1024;

// Seconds since the transfer began, never zero once measured.
float elapsedSeconds(std::int64_t elapsedMs);

// Average speed in kilobytes a second, rounded to two decimals with halves to the even side.
double speedKbPerSecond(std::int64_t received, float seconds);

// Whole percent done, rounded down.
double percentDone(std::int32_t received, std::int32_t total);

// The fill's width for a track of trackWidth, in the track's units.
float fillWidth(std::int32_t received, std::int32_t total, double trackWidth);
