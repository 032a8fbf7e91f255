// Memory for a conversion's lists. Tens of thousands of small elements are allocated per
// conversion and dropped a stage later; bump allocation from recycled blocks makes that
// cheap and keeps the process from touching fresh pages for every list.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <vector>

// Fixed-size blocks, kept for reuse until the pool is destroyed.
class CBlockPool {
public:
    static constexpr std::size_t kBlockSize = 64 * 1024;

    CBlockPool() = default;
    CBlockPool(const CBlockPool&) = delete;
    CBlockPool& operator=(const CBlockPool&) = delete;
    ~CBlockPool();

    void* Get();
    void Put(void* block) noexcept { m_free.push_back(block); }  // room reserved by Get

private:
    std::vector<void*> m_free;
    std::vector<void*> m_all;
};

// Bump allocation; deallocation is a no-op and Release() hands every block back at once.
class CArena : public std::pmr::memory_resource {
public:
    explicit CArena(CBlockPool& pool) : m_pool(pool) {}
    CArena(const CArena&) = delete;
    CArena& operator=(const CArena&) = delete;
    ~CArena() override { Release(); }

    // Only when nothing allocated here is in use any more.
    void Release();

private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    struct Large {
        void* p;
        std::size_t alignment;
    };

    CBlockPool& m_pool;
    std::vector<void*> m_blocks;
    std::vector<Large> m_large;
    char* m_next = nullptr;
    char* m_end = nullptr;
};
