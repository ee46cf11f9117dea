#pragma once

#include "update/signature.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

// BLAKE2b-512 of a stream, computed on a thread of its own so that hashing overlaps the
// transfer: the caller's thread gathers bytes into 256 KiB blocks and hands each over without
// waiting, unless a few blocks are already waiting, so memory stays flat at any file size.
class BackgroundDigest {
public:
    BackgroundDigest();
    // Ends the thread without hashing what still waits: a cancel or a failure needs no digest.
    ~BackgroundDigest();
    BackgroundDigest(const BackgroundDigest &) = delete;
    BackgroundDigest &operator=(const BackgroundDigest &) = delete;

    void add(std::span<const std::byte> bytes);
    // Waits for every block handed over and returns the digest of all of them.
    Digest finish();

private:
    static constexpr std::size_t BlockSize = 256 * 1024;
    static constexpr std::size_t MostWaiting = 4;

    void handOver();
    void run();

    std::vector<std::byte> m_block;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<std::byte>> m_waiting; // guarded by m_mutex
    std::vector<std::vector<std::byte>> m_spare;  // guarded by m_mutex
    bool m_closing = false;                       // guarded by m_mutex
    bool m_abandoned = false;                     // guarded by m_mutex
    Blake2b m_hash;                               // only the thread touches it until joined
    std::thread m_thread;
};
