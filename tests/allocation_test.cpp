// The worker's loop must not allocate, and a lock that cannot be allocated
// must leave the module able to try again. Both need the global allocator
// replaced, which is why these tests are a binary of their own.
#include <atomic>
#include <cstdlib>
#include <new>

#include "test_support.h"

namespace {
thread_local bool CountHere = false;
std::atomic<int> PollerAllocations{0};
std::atomic<int> FailNothrowAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (CountHere) ++PollerAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (CountHere) ++PollerAllocations;
    if (FailNothrowAllocations > 0) {
        --FailNothrowAllocations;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace testing_support;

constexpr uint16_t VK_A = 0x41;
constexpr uint16_t VK_B = 0x42;

// Runs on the worker: from here on, its allocations are counted.
void CountOnThisThread(int32_t id) {
    Record(id);
    CountHere = true;
}

TEST_F(PollerTest, TheWorkerLoopAllocatesNothing) {
    ASSERT_TRUE(AddHotkey(1, 0, VK_A, CountOnThisThread));
    ASSERT_TRUE(AddHotkey(2, MOD_CONTROL_KEY, VK_B, CountOnThisThread));
    emulated::TapKey(VK_A);
    Cycle();
    ASSERT_EQ(Fired().size(), 1u);
    Cycle();  // A is up again: re-armed
    const size_t firedBefore = Fired().size();
    Fired().reserve(firedBefore + 100);
    for (int i = 0; i < 20; ++i) {
        emulated::TapKey(VK_A);
        emulated::PressKey(0x11);
        emulated::TapKey(VK_B);
        Cycle();
        emulated::ReleaseKey(0x11);
        Cycle();
    }
    EXPECT_EQ(Fired().size(), firedBefore + 40);
    EXPECT_EQ(PollerAllocations.load(), 0);
}

TEST_F(TableTest, ALockThatCannotBeAllocatedFailsTheAddAndLeavesNothing) {
    const int handles = emulated::OpenHandleCount();
    FailNothrowAllocations = 1;
    EXPECT_FALSE(AddHotkey(1, 0, VK_A, Record));
    EXPECT_EQ(PollerLock, nullptr);
    EXPECT_EQ(PollerThread, nullptr);
    EXPECT_EQ(HotkeyLast, -1);
    EXPECT_EQ(emulated::OpenHandleCount(), handles);

    ASSERT_TRUE(AddHotkey(1, 0, VK_A, Record));
    Settle();
    emulated::PressKey(VK_A);
    Cycle();
    EXPECT_EQ(Fired(), (std::vector<int32_t>{1}));
}

}  // namespace
