#pragma once

#include <array>
#include <cstddef>
#include <span>

// BLAKE2b-512, the digest minisign signs, over libsodium, whose header stays in the .cpp: the
// windows and the tests that name a digest do not compile libsodium's declarations.
using Digest = std::array<unsigned char, 64>;

class Blake2b {
public:
    Blake2b();
    void add(std::span<const std::byte> bytes);
    Digest finish();

private:
    // libsodium's crypto_generichash_state, as its header declares it (checked there).
    alignas(64) unsigned char m_state[384];
};

Digest blake2b(std::span<const std::byte> bytes);

// Readies libsodium, which picks the fastest implementation for this processor; safe to call
// again and again.
void startSodium();
