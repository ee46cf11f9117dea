#include "download/verifiedfile.h"

files::File VerifiedFile::openIfUnchanged() const
{
    auto opened = files::openRegular(path);
    // Another file there, or one of another size, has changed without a byte being read.
    if (!opened || opened->identity() != identity || opened->size() != size) {
        return {};
    }
    files::File &file = *opened;
    // Size and time stamps can be kept by a rewrite; the bytes cannot. A keyed build checks
    // the digest the maker signed once more as well.
    Fingerprinter now;
    Blake2b signedHash;
    const bool keyed = digest.has_value();
    std::int64_t read = 0;
    if (!readToEnd(file, [&](std::span<const std::byte> bytes) {
            read += std::int64_t(bytes.size());
            now.add(bytes);
            if (keyed) {
                signedHash.add(bytes);
            }
        })) {
        return {};
    }
    if (read != size || now.finish() != fingerprint || (keyed && signedHash.finish() != *digest)) {
        return {};
    }
    return std::move(file);
}
