#pragma once

#include "tools/commandline.h"

#include <span>

// The tool itself, given its arguments after the program's name; returns the exit status.
int runKolupRecord(std::span<const Argument> args);
