#pragma once

#include "download/backgrounddigest.h"
#include "download/digest.h"
#include "os/files.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

// The file a download grows in before it is complete. It is created anew, never opened where
// something already stood: a link or a FIFO planted at its name cannot redirect or block the
// write. Small writes are gathered into large ones.
class SideFile {
public:
    // Large enough that writing costs little beside the network, small enough to be no memory.
    static constexpr std::size_t BlockSize = 256 * 1024;

    // digest, when given, hashes every block once it is written.
    explicit SideFile(std::filesystem::path path, BackgroundDigest *digest = nullptr);
    ~SideFile();

    enum Creation {
        Replace,    // whatever file or link stands at the path is removed first
        KeepOthers, // anything at the path makes create() fail
    };
    // Creates an empty file at the path, never through what stands there; false when that fails.
    bool create(Creation how);
    // Continues the regular file at the path, only when it is the file of that identity and
    // holds exactly kept bytes: they are read back and checksummed (and hashed) as if written
    // now, so that what is verified at the end is the whole file, kept part and all.
    bool resume(files::Identity identity, std::int64_t kept);
    // Empties the file for the same resource sent again from its first byte, checksum and all;
    // digest, when given, hashes it anew.
    bool restart(BackgroundDigest *digest);
    // Room for the next size bytes (at most a block), for a read to fill where the bytes will be
    // written from: the bytes are not copied again. commit() takes what the read put there.
    std::span<std::byte> space(std::size_t size);
    // False once any write has failed; what follows it is not written.
    bool commit(std::size_t count);
    // Writes out what is gathered and closes the file; false when anything was lost, or when
    // the path no longer names the file written here (another program put its own file there).
    bool finish();
    // Why create(), a write or finish() failed: NameTaken when something stood at the path,
    // Replaced when another program put its own file there.
    const Failure &failure() const { return m_failure; }
    const std::filesystem::path &path() const { return m_path; }
    files::Identity identity() const { return m_identity; }
    // The checksum of every byte written, once finish() has written the last.
    Fingerprint fingerprint() { return m_fingerprint.finish(); }

private:
    void adopt(files::File file);
    void flush();
    void handOver();

    std::filesystem::path m_path;
    BackgroundDigest *m_digest;
    Fingerprinter m_fingerprint; // a block at a time: far cheaper than a chunk at a time
    files::File m_file;
    files::Identity m_identity;
    BackgroundDigest::Block m_block; // gathered bytes, written out when full
    std::size_t m_used = 0;
    bool m_ok = false;
    Failure m_failure;
};
