#pragma once

#include "update/signature.h"
#include "update/updateinfo.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

// kolup-record's command line, read into what each command is asked to do before anything is
// touched, so that every argument is judged in one place (and can be fuzzed there).
//
//   kolup-record make --version V --url URL (--size N | --file SETUP) [-o OUT]
//   kolup-record show FILE|-
//   kolup-record comment --file SETUP [--expires YYYY-MM-DD]
//   kolup-record check [--key PUBKEY] ADDRESS
//   kolup-record verify --key PUBKEY FILE

// An argument as the system hands it over: bytes on Linux, UTF-16 on Windows. File names keep
// it as it is; an address becomes the bytes of the system's code page, as the record holds it.
using Argument = std::filesystem::path::string_type;

namespace command {

inline constexpr int Ok = 0;
inline constexpr int Problem = 1;
inline constexpr int Usage = 2;

struct Make {
    float version = 0;
    std::string url; // the system's single-byte text
    std::optional<std::int64_t> size;
    std::optional<std::filesystem::path> setupFile; // its size instead of --size
    std::optional<std::filesystem::path> output;    // standard output when none
};
struct Show {
    std::optional<std::filesystem::path> file; // standard input when none
};
struct Comment {
    std::filesystem::path setupFile;
    std::optional<std::chrono::sys_days> expires;
};
struct Check {
    std::string address;
    std::optional<std::vector<PublicKey>> keys;
};
struct Verify {
    std::vector<PublicKey> keys;
    std::filesystem::path file;
};
struct Help {};
// What is wrong with the command line, and the exit status that says so.
struct Refusal {
    int status = Usage;
    std::string why; // empty: the usage text says it
};

using Request = std::variant<Refusal, Help, Make, Show, Comment, Check, Verify>;

// today decides whether an expiry has passed: the day itself is the last one a record is taken.
Request parse(std::span<const Argument> args, std::chrono::sys_days today);

// The record a maker asks for, or why the updater would refuse it.
Result<UpdateInfo> record(float version, std::string_view url, std::int64_t size);

// An argument as it may be printed: UTF-8, every byte outside printable ASCII escaped.
std::string shown(const Argument &argument);

} // namespace command
