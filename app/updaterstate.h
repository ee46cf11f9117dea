#pragma once

#include "app/enginecomponent.h"
#include "update/updateinfo.h"

#include <cstdint>
#include <filesystem>
#include <memory>

// Flags shared between handlers are 16-bit values: 0 is false, -1 is true.
using Flag = std::int16_t;
inline constexpr Flag FlagFalse = 0;
inline constexpr Flag FlagTrue = -1;

// The window's own state, alive from load to the end of the program.
struct UpdaterState {
    std::unique_ptr<EngineComponent> Engine; // empty when the engine is not installed
    UpdateInfo Info;
    Flag CancelRequested = FlagFalse;
    std::filesystem::path SetupPath;
    Flag SetupDownloaded = FlagFalse;
};
