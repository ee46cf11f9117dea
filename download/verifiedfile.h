#pragma once

#include "download/digest.h"
#include "os/files.h"

#include <cstdint>
#include <filesystem>
#include <optional>

// A file as a completed download left it. Only this file, unchanged, may be started.
struct VerifiedFile {
    std::filesystem::path path;
    files::Identity identity; // the file the download created, whatever its name since
    std::int64_t size = 0;
    Fingerprint fingerprint;      // of the bytes the download wrote
    std::optional<Digest> digest; // keyed: the BLAKE2b-512 digest the maker's signature names

    // The very file the download wrote, open, while it stands at path with exactly those bytes
    // and, keyed, still has the digest the maker signed; a closed file otherwise. A file of
    // another size or identity is not read at all. Held open, it is the file that is started:
    // on Windows nobody can write, rename or delete it meanwhile.
    files::File openIfUnchanged() const;
};
