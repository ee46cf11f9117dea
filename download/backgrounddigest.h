#pragma once

#include "update/signature.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

// BLAKE2b-512 of a stream of blocks, computed on a thread of its own so that hashing overlaps
// the transfer. The blocks are the ones the side file has just written: they are handed over
// whole, not copied, and an empty block comes back for the next bytes. The caller waits only
// when a few blocks are already waiting, so memory stays flat at any file size.
class BackgroundDigest {
public:
    using Block = std::unique_ptr<std::byte[]>;
    // Told of each block on the digest's thread just before it is hashed.
    using Watcher = std::function<void(std::span<const std::byte>)>;

    explicit BackgroundDigest(std::size_t blockSize, Watcher watcher = {});
    // Abandons the digest and waits for the thread: at once when it waits for blocks, after
    // the block in hand when it hashes one.
    ~BackgroundDigest();
    BackgroundDigest(const BackgroundDigest &) = delete;
    BackgroundDigest &operator=(const BackgroundDigest &) = delete;

    // Takes the first used bytes of full to hash; returns a block of blockSize to fill next.
    Block handOver(Block full, std::size_t used);
    // Waits for every block handed over and returns the digest of all of them.
    Digest finish();
    // A cancel or a failure needs no digest: nothing that still waits is hashed.
    void abandon();

    enum class State { Starting, Waiting, Hashing, Ended };
    // What the thread does now; Waiting only once it really waits for a block.
    State state() const;

private:
    static constexpr std::size_t MostWaiting = 4;

    void run();

    const std::size_t m_blockSize;
    const Watcher m_watcher;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<Block, std::size_t>> m_waiting; // guarded by m_mutex
    std::vector<Block> m_spare;                          // guarded by m_mutex
    bool m_closing = false;                              // guarded by m_mutex
    bool m_abandoned = false;                            // guarded by m_mutex
    State m_state = State::Starting;                     // guarded by m_mutex
    Blake2b m_hash;                                      // only the thread touches it
    std::thread m_thread;
};
