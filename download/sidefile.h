#pragma once

#include "download/backgrounddigest.h"
#include "download/digest.h"
#include "os/files.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

// The file a download grows in before it is complete. It is created anew, never opened where
// something already stood: a link or a FIFO planted at its name cannot redirect or block the
// write. Small writes are gathered into large ones. Keyed, it owns the digest of what it holds,
// worked out on a thread of its own as each block is written; the thread ends with the file.
class SideFile {
public:
    // Large enough that writing costs little beside the network, small enough to be no memory.
    static constexpr std::size_t BlockSize = 256 * 1024;

    explicit SideFile(bool keyed) : m_keyed(keyed) {}
    ~SideFile();
    SideFile(const SideFile &) = delete;
    SideFile &operator=(const SideFile &) = delete;

    enum Creation {
        Replace,    // whatever file or link stands at the path is removed first
        KeepOthers, // anything at the path makes create() fail
    };
    // Creates an empty file at path, never through what stands there, and never one that has
    // another name; false when that fails.
    bool create(const std::filesystem::path &path, Creation how);
    // Continues the regular file at path, only when it is the file of that identity, has no
    // other name, and holds exactly kept bytes: they are read back and checksummed (and hashed) as
    // if written now, so that what is verified at the end is the whole file, kept part and all.
    // A part of hundreds of megabytes takes a while: goOn is asked between blocks, and false
    // ends the read-back as Cancelled, the part left as it is.
    bool resume(const std::filesystem::path &path, files::Identity identity, std::int64_t kept,
                const std::function<bool()> &goOn);
    // Empties the file for the same resource sent again from its first byte: its checksum and
    // digest start again with it, and nothing written before counts.
    bool restart();
    // Room for the next size bytes (at most a block), for a read to fill where the bytes will be
    // written from: the bytes are not copied again. commit() takes what the read put there.
    std::span<std::byte> space(std::size_t size)
    {
        size = size < BlockSize ? size : BlockSize;
        if (BlockSize - m_used < size) {
            flush();
        }
        return {m_block.get() + m_used, size};
    }
    // False once any write has failed; what follows it is not written.
    bool commit(std::size_t count)
    {
        m_used += count;
        if (m_used == BlockSize) {
            flush();
        }
        return m_ok;
    }
    // Writes out what is gathered and closes the file; false when anything was lost, or when
    // the path no longer names the file written here (another program put its own file there).
    bool finish();
    // Keyed, once finish() has written the last byte: the BLAKE2b-512 digest of the whole file.
    Digest signedDigest();
    // Why create(), a write or finish() failed: NameTaken when something stood at the path,
    // Replaced when another program put its own file there.
    const Failure &failure() const { return m_failure; }
    const std::filesystem::path &path() const { return m_path; }
    files::Identity identity() const { return m_identity; }
    // The checksum of every byte written, once finish() has written the last.
    Fingerprint fingerprint() { return m_fingerprint.finish(); }

private:
    void adopt(const std::filesystem::path &path, files::File file);
    void flush();
    void handOver();

    const bool m_keyed;
    std::filesystem::path m_path;
    std::optional<BackgroundDigest> m_digest; // keyed: made anew with each file and restart
    Fingerprinter m_fingerprint; // a block at a time: far cheaper than a chunk at a time
    files::File m_file;
    files::Identity m_identity;
    BackgroundDigest::Block m_block; // gathered bytes, written out when full
    std::size_t m_used = 0;
    bool m_ok = false;
    Failure m_failure;
};
