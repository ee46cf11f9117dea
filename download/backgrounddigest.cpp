#include "download/backgrounddigest.h"

BackgroundDigest::BackgroundDigest(std::size_t blockSize, Watcher watcher)
    : m_blockSize(blockSize), m_watcher(std::move(watcher)), m_thread([this] { run(); })
{
}

BackgroundDigest::~BackgroundDigest()
{
    abandon();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void BackgroundDigest::abandon()
{
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
        m_abandoned = true;
    }
    m_changed.notify_all();
}

BackgroundDigest::State BackgroundDigest::state() const
{
    const std::lock_guard lock(m_mutex);
    return m_state;
}

BackgroundDigest::Block BackgroundDigest::handOver(Block full, std::size_t used)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting.size() < MostWaiting; });
    m_waiting.emplace_back(std::move(full), used);
    Block next;
    if (!m_spare.empty()) {
        next = std::move(m_spare.back());
        m_spare.pop_back();
    }
    lock.unlock();
    m_changed.notify_all();
    return next ? std::move(next) : std::make_unique_for_overwrite<std::byte[]>(m_blockSize);
}

Digest BackgroundDigest::finish()
{
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
    m_thread.join();
    return m_hash.finish();
}

void BackgroundDigest::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_state = State::Waiting; // seen by others only once wait() has let the lock go
        m_changed.wait(lock, [this] { return !m_waiting.empty() || m_closing; });
        if (m_abandoned || (m_waiting.empty() && m_closing)) {
            m_state = State::Ended;
            return;
        }
        auto [block, used] = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_state = State::Hashing;
        lock.unlock();
        m_changed.notify_all(); // room for the next block
        const std::span bytes(block.get(), used);
        if (m_watcher) {
            m_watcher(bytes);
        }
        m_hash.add(bytes);
        lock.lock();
        if (m_spare.size() < MostWaiting) {
            m_spare.push_back(std::move(block));
        }
    }
}
