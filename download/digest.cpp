#include "download/digest.h"

#include "os/files.h"

// Compiled in from the header rather than called in the shared library: the program has one
// library less to load at start-up.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <random>
#include <vector>

namespace {

XXH64_hash_t runSeed()
{
    static const XXH64_hash_t seed = [] {
        std::random_device random;
        return XXH64_hash_t(random()) << 32 | random();
    }();
    return seed;
}

} // namespace

struct Fingerprinter::State {
    XXH3_state_t xxh;
};

Fingerprinter::Fingerprinter() : m_state(std::make_unique<State>())
{
    XXH3_INITSTATE(&m_state->xxh);
    XXH3_128bits_reset_withSeed(&m_state->xxh, runSeed());
}

Fingerprinter::~Fingerprinter() = default;

void Fingerprinter::add(std::span<const std::byte> bytes)
{
    XXH3_128bits_update(&m_state->xxh, bytes.data(), bytes.size());
}

void Fingerprinter::reset()
{
    XXH3_128bits_reset_withSeed(&m_state->xxh, runSeed());
}

Fingerprint Fingerprinter::finish()
{
    const XXH128_hash_t hash = XXH3_128bits_digest(&m_state->xxh);
    return {hash.low64, hash.high64};
}

bool readRegularFile(const std::filesystem::path &path,
                     const std::function<void(std::span<const std::byte>)> &each)
{
    auto file = files::openRegular(path);
    return file && readToEnd(*file, each);
}

bool readToEnd(files::File &file, const std::function<void(std::span<const std::byte>)> &each)
{
    std::vector<std::byte> block(256 * 1024);
    for (;;) {
        const std::ptrdiff_t count = file.read(block);
        if (count <= 0) {
            return count == 0;
        }
        each(std::span(block).first(std::size_t(count)));
    }
}

std::optional<Digest> digestOfFile(const std::filesystem::path &path)
{
    Blake2b hash;
    if (!readRegularFile(path, [&](auto bytes) { hash.add(bytes); })) {
        return std::nullopt;
    }
    return hash.finish();
}
