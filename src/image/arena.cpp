#include "image/arena.h"

#include <cstdint>
#include <new>

CBlockPool::~CBlockPool() {
    for (void* block : m_all) {
        ::operator delete(block);
    }
}

void* CBlockPool::Get() {
    if (!m_free.empty()) {
        void* block = m_free.back();
        m_free.pop_back();
        return block;
    }
    // Room to record the block and, later, to hand it back: neither may fail.
    m_all.reserve(m_all.size() + 1);
    m_free.reserve(m_all.size() + 1);
    void* block = ::operator new(kBlockSize);
    m_all.push_back(block);
    return block;
}

void CArena::Release() {
    for (void* block : m_blocks) {
        m_pool.Put(block);
    }
    m_blocks.clear();
    for (const Large& large : m_large) {
        ::operator delete(large.p, std::align_val_t(large.alignment));
    }
    m_large.clear();
    m_next = m_end = nullptr;
}

void* CArena::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes > CBlockPool::kBlockSize / 8) {
        m_large.reserve(m_large.size() + 1);
        void* p = ::operator new(bytes, std::align_val_t(alignment));
        m_large.push_back({p, alignment});
        return p;
    }
    for (;;) {
        if (m_next != nullptr) {
            const auto at = reinterpret_cast<std::uintptr_t>(m_next);
            const std::uintptr_t aligned = (at + alignment - 1) & ~(alignment - 1);
            char* p = m_next + (aligned - at);
            if (p + bytes <= m_end) {
                m_next = p + bytes;
                return p;
            }
        }
        m_blocks.reserve(m_blocks.size() + 1);
        char* block = static_cast<char*>(m_pool.Get());
        m_blocks.push_back(block);
        m_next = block;
        m_end = block + CBlockPool::kBlockSize;
    }
}
