#pragma once

#include "app/platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The Windows desktop's services under the native window.

// Sends what the core logs to the debugger's output and to standard error.
void sendLogToDebugger();
