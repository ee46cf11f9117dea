#pragma once

#include "os/files.h"
#include "update/signature.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>

// A 128-bit XXH3 checksum under a seed drawn at random once per run: it tells whether a file
// still holds the bytes a download wrote at about 18 GB/s, far from the transfer's own cost,
// and its values cannot be foreseen from outside the process. It is no signature: only a keyed
// build proves where a file came from.
using Fingerprint = std::array<std::uint64_t, 2>;

class Fingerprinter {
public:
    Fingerprinter();
    ~Fingerprinter();
    Fingerprinter(const Fingerprinter &) = delete;
    Fingerprinter &operator=(const Fingerprinter &) = delete;
    void add(std::span<const std::byte> bytes);
    Fingerprint finish();
    // As if nothing had been added.
    void reset();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Hands each block of an open file to each; false when it cannot be read to its end.
bool readToEnd(files::File &file, const std::function<void(std::span<const std::byte>)> &each);

// Hands the bytes of the regular file at path to each, in blocks, without following a link;
// false when it is not a regular file or cannot be read to its end.
bool readRegularFile(const std::filesystem::path &path,
                     const std::function<void(std::span<const std::byte>)> &each);

std::optional<Digest> digestOfFile(const std::filesystem::path &path);
