// Memory running out at any allocation of a conversion: one message and false (or, past
// the last allocation, a correct image), never a crash or an escaped exception.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include "image/convert.h"
#include "test_util.h"

namespace {
// Counts down allocations while armed; the one that reaches zero fails. new and delete are
// replaced, so that all memory comes from malloc and goes back to free.
std::atomic<long> g_failIn{-1};

// align 0: malloc's own alignment.
void* Allocate(std::size_t size, std::size_t align = 0) {
    if (g_failIn.load() > 0 && g_failIn.fetch_sub(1) == 1) {
        g_failIn = -1;
        throw std::bad_alloc();
    }
    size = std::max<std::size_t>(size, 1);
#ifdef _WIN32
    // The Windows C runtime has no aligned_alloc; its aligned blocks need _aligned_free.
    void* p = align == 0 ? std::malloc(size) : _aligned_malloc(size, align);
#else
    void* p = align == 0 ? std::malloc(size)
                         : std::aligned_alloc(align, (size + align - 1) / align * align);
#endif
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* AllocateOrNull(std::size_t size, std::size_t align = 0) noexcept {
    try {
        return Allocate(size, align);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void FreeAligned(void* p) {
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}
}  // namespace

// Every form is replaced: a sanitizer replaces each form it is not given, and would take
// malloc's blocks for its own.
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return Allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return Allocate(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    FreeAligned(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    FreeAligned(p);
}

namespace {

TEST(OutOfMemory, EveryAllocationOfAConversionMayFail) {
    ScratchDir dir;
    // Out of order, two lines per record, a merge and fill lines.
    std::string mot = Rec("S1", 0x40, std::vector<std::uint8_t>(24, 0x11)) + "\n" +
                      Rec("S1", 0x08, {1, 2, 3}) + "\n" + Rec("S1", 0x0C, {4}) + "\n";
    std::string expected(0x80, '\xFF');
    expected.replace(0x08, 5, Bytes({1, 2, 3, 0xFF, 4}));
    expected.replace(0x40, 24, std::string(24, '\x11'));
    WriteFile(dir / "fw.mot", mot);
    const std::vector<std::string> allowed = {
        "S19 File Error (A) !",      "Mot File Error (Out of memory) !",
        "Read File Error !",         "TXT File Write Error !",
        "motTXT File Write Error !", "fullmotTXT File Write Error !",
        "BIN File Write Error !"};

    const fs::path motPath = dir / "fw.mot";
    const fs::path workDir = dir.Path();
    int failures = 0;
    bool succeeded = false;
    for (long n = 1; n < 20000 && !succeeded; ++n) {
        RecordingSink sink;
        sink.messages.reserve(4);
        fs::remove(dir / "tmp.bin");
        g_failIn = n;
        const bool ok = ConvertMotToBin(motPath, workDir, sink);
        const bool injected = g_failIn.load() == -1;
        g_failIn = -1;
        if (ok) {
            EXPECT_TRUE(sink.messages.empty()) << "allocation " << n;
            EXPECT_EQ(ReadFile(dir / "tmp.bin"), expected) << "allocation " << n;
            succeeded = !injected;
            continue;
        }
        ++failures;
        EXPECT_TRUE(injected) << "allocation " << n;
        ASSERT_EQ(sink.messages.size(), 1u) << "allocation " << n;
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), sink.messages[0].text), allowed.end())
            << sink.messages[0].text << " at allocation " << n;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(failures, 20);  // the injection really reached the stages
}

}  // namespace
