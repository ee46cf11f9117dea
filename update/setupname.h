#pragma once

#include "os/failure.h"
#include "update/updateinfo.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where the setup file goes: the last element of the record's address, cut at the first two
// consecutive spaces (the padding). Nothing before the last "/" is used.
struct SetupName {
    std::string name;
    bool terminated = false; // false when no two spaces follow the name
};
SetupName findSetupName(const UpdateInfo &info);

// Whether a name may be used as a file name next to this program, or why it is refused: it
// comes from the network and must not reach another directory, a device, the program's own
// file (programName), a name that no file system takes, or one that displays as another.
Status checkSetupName(std::string_view name, std::string_view programName = {});

// Every reason the updater refuses a record; empty when it can be offered and downloaded.
std::vector<std::string> recordProblems(const UpdateInfo &info, std::string_view programName = {});

// The program directory, the platform's separator and the setup name; refused, for the first
// of its problems, when the record is.
Result<std::filesystem::path> setupPathFor(const std::filesystem::path &programDir,
                                           const UpdateInfo &info,
                                           std::string_view programName = {});

// Any byte below 0x20, and DEL: what no name or address from the network may hold.
bool isControlByte(char c);
