#pragma once

#include <QString>

#include <sodium.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>

// BLAKE2b-512, the hash minisign signs: fast enough to run over every chunk as it arrives.
using Digest = std::array<unsigned char, crypto_generichash_BYTES_MAX>;

class Blake2b {
public:
    Blake2b();
    void add(std::span<const std::byte> bytes);
    Digest finish();

private:
    crypto_generichash_state m_state;
};

// The digest of the regular file at path, read without following a link; nothing when it is
// not a regular file or cannot be read.
std::optional<Digest> digestOfFile(const QString &path);
