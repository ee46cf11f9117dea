#include "download/backgrounddigest.h"

#include <algorithm>

BackgroundDigest::BackgroundDigest() : m_thread([this] { run(); })
{
    m_block.reserve(BlockSize);
}

BackgroundDigest::~BackgroundDigest()
{
    if (m_thread.joinable()) {
        {
            const std::lock_guard lock(m_mutex);
            m_closing = true;
            m_abandoned = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
}

void BackgroundDigest::add(std::span<const std::byte> bytes)
{
    while (!bytes.empty()) {
        const std::size_t taken = std::min(bytes.size(), BlockSize - m_block.size());
        m_block.insert(m_block.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(taken));
        bytes = bytes.subspan(taken);
        if (m_block.size() == BlockSize) {
            handOver();
        }
    }
}

void BackgroundDigest::handOver()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting.size() < MostWaiting; });
    m_waiting.push_back(std::move(m_block));
    if (m_spare.empty()) {
        m_block = {};
        m_block.reserve(BlockSize);
    } else {
        m_block = std::move(m_spare.back());
        m_spare.pop_back();
    }
    lock.unlock();
    m_changed.notify_all();
}

Digest BackgroundDigest::finish()
{
    if (!m_block.empty()) {
        handOver();
    }
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
        m_changed.wait(lock, [this] { return !m_waiting.empty() || m_closing; });
        if (m_abandoned || (m_waiting.empty() && m_closing)) {
            return;
        }
        std::vector<std::byte> block = std::move(m_waiting.front());
        m_waiting.pop_front();
        lock.unlock();
        m_changed.notify_all(); // room for the next block
        m_hash.add(block);
        block.clear();
        lock.lock();
        if (m_spare.size() < MostWaiting) {
            m_spare.push_back(std::move(block));
        }
    }
}
