#include "update/blake2b.h"

#include <sodium.h>

#include <cstdlib>

namespace {

crypto_generichash_state *state(unsigned char *storage)
{
    static_assert(sizeof(crypto_generichash_state) <= 384 &&
                  alignof(crypto_generichash_state) <= 64);
    static_assert(std::tuple_size_v<Digest> == crypto_generichash_BYTES_MAX);
    return reinterpret_cast<crypto_generichash_state *>(storage);
}

} // namespace

void startSodium()
{
    if (sodium_init() < 0) {
        std::abort();
    }
}

Blake2b::Blake2b()
{
    startSodium();
    crypto_generichash_init(state(m_state), nullptr, 0, crypto_generichash_BYTES_MAX);
}

void Blake2b::add(std::span<const std::byte> bytes)
{
    crypto_generichash_update(state(m_state), reinterpret_cast<const unsigned char *>(bytes.data()),
                              bytes.size());
}

Digest Blake2b::finish()
{
    Digest digest{};
    crypto_generichash_final(state(m_state), digest.data(), digest.size());
    return digest;
}

Digest blake2b(std::span<const std::byte> bytes)
{
    Blake2b hash;
    hash.add(bytes);
    return hash.finish();
}
