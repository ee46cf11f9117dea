#include "download/digest.h"

#include <QFile>
#include <QFileInfo>

#include <vector>

Blake2b::Blake2b()
{
    // Picks the fastest implementation for this processor; safe to call again and again.
    if (sodium_init() < 0) {
        qFatal("libsodium cannot start");
    }
    crypto_generichash_init(&m_state, nullptr, 0, crypto_generichash_BYTES_MAX);
}

void Blake2b::add(std::span<const std::byte> bytes)
{
    crypto_generichash_update(&m_state, reinterpret_cast<const unsigned char *>(bytes.data()),
                              bytes.size());
}

Digest Blake2b::finish()
{
    Digest digest{};
    crypto_generichash_final(&m_state, digest.data(), digest.size());
    return digest;
}

std::optional<Digest> digestOfFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile()) {
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return std::nullopt;
    }
    Blake2b hash;
    std::vector<std::byte> block(256 * 1024);
    for (;;) {
        const qint64 count = file.read(reinterpret_cast<char *>(block.data()), qint64(block.size()));
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            return hash.finish();
        }
        hash.add(std::span(block).first(std::size_t(count)));
    }
}
