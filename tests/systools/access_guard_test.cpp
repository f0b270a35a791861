// RunGuarded: access violations end a guarded routine at once; faults
// outside it reach the handler that was there before ours, which is back in
// place once no routine is guarded.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <thread>

#include "wince.h"

namespace {

// One page of memory whose protection a test chooses.
class Page {
public:
    Page() {
        size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        bytes_ = static_cast<volatile uint8_t*>(
            mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    }
    ~Page() { munmap(const_cast<uint8_t*>(bytes_), size_); }
    void protect(int protection) { mprotect(const_cast<uint8_t*>(bytes_), size_, protection); }
    volatile uint8_t* bytes() { return bytes_; }
    void* address() { return const_cast<uint8_t*>(bytes_); }

private:
    size_t size_;
    volatile uint8_t* bytes_;
};

struct Steps {
    volatile uint8_t* target;
    int done = 0;
};

// Counts a step before and after touching the target.
void touchBetweenSteps(void* context) {
    auto& steps = *static_cast<Steps*>(context);
    ++steps.done;
    *steps.target = 1;
    ++steps.done;
}

TEST(AccessGuard, CompletedRoutineReturnsZero) {
    Page page;
    Steps steps{page.bytes()};
    EXPECT_EQ(RunGuarded(touchBetweenSteps, &steps), 0u);
    EXPECT_EQ(steps.done, 2);
}

TEST(AccessGuard, AccessViolationEndsTheRoutineAtOnce) {
    Page page;
    page.protect(PROT_NONE);
    Steps steps{page.bytes()};
    EXPECT_EQ(RunGuarded(touchBetweenSteps, &steps), EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(steps.done, 1);

    page.protect(PROT_READ);  // writing a read-only page is one too
    EXPECT_EQ(RunGuarded(touchBetweenSteps, &steps), EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(steps.done, 2);
}

TEST(AccessGuard, EachThreadHasItsOwnRecoveryPoint) {
    Page page;
    page.protect(PROT_NONE);
    DWORD results[2] = {};
    std::thread first([&] {
        Steps steps{page.bytes()};
        results[0] = RunGuarded(touchBetweenSteps, &steps);
    });
    std::thread second([&] {
        Steps steps{page.bytes()};
        results[1] = RunGuarded(touchBetweenSteps, &steps);
    });
    first.join();
    second.join();
    EXPECT_EQ(results[0], EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(results[1], EXCEPTION_ACCESS_VIOLATION);
}

struct sigaction currentSegvHandler() {
    struct sigaction current {};
    sigaction(SIGSEGV, nullptr, &current);
    return current;
}

void recordHandler(void* context) { *static_cast<struct sigaction*>(context) = currentSegvHandler(); }

// A VM checks that its handlers stay its own: ours are there only while a
// guarded routine runs.
TEST(AccessGuard, HandlersAreInPlaceOnlyWhileARoutineRuns) {
    const struct sigaction before = currentSegvHandler();
    struct sigaction during {};
    ASSERT_EQ(RunGuarded(recordHandler, &during), 0u);
    const struct sigaction after = currentSegvHandler();
    EXPECT_NE(reinterpret_cast<void*>(during.sa_sigaction), reinterpret_cast<void*>(before.sa_sigaction));
    EXPECT_EQ(reinterpret_cast<void*>(after.sa_sigaction), reinterpret_cast<void*>(before.sa_sigaction));
    // The C library adds its return trampoline's flag to every handler set.
    constexpr int RESTORER_FLAG = 0x04000000;
    EXPECT_EQ(after.sa_flags & ~RESTORER_FLAG, before.sa_flags & ~RESTORER_FLAG);
}

Page* repairablePage;
volatile void* faultAddressSeen;

// A handler like a VM's: it mends the fault and lets the access run again.
void repairingHandler(int, siginfo_t* info, void*) {
    faultAddressSeen = info->si_addr;
    repairablePage->protect(PROT_READ | PROT_WRITE);
}

// While this routine is guarded on one thread, another thread faults.
void faultOnAnotherThread(void* context) {
    auto* page = static_cast<Page*>(context);
    std::thread([page] { page->bytes()[0] = 7; }).join();
}

// These run in a fresh process each, so the handlers before ours are the
// test's own.
TEST(AccessGuardDeathTest, FaultOfAnotherThreadGoesToThePreviousHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Page page;
            repairablePage = &page;
            struct sigaction previous {};
            previous.sa_sigaction = repairingHandler;
            previous.sa_flags = SA_SIGINFO;
            sigemptyset(&previous.sa_mask);
            sigaction(SIGSEGV, &previous, nullptr);

            page.protect(PROT_NONE);
            const DWORD result = RunGuarded(faultOnAnotherThread, &page);
            const bool restored = currentSegvHandler().sa_sigaction == repairingHandler;
            std::exit(result == 0 && restored && faultAddressSeen == page.address() && page.bytes()[0] == 7 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(AccessGuardDeathTest, FaultOfAnotherThreadStillKillsByDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            signal(SIGSEGV, SIG_DFL);
            Page page;
            page.protect(PROT_NONE);
            RunGuarded(faultOnAnotherThread, &page);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
