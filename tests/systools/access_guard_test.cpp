// RunGuarded: access violations end a guarded routine at once; faults
// outside any guarded routine reach the handler that was there before ours.
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

void doNothing(void*) {}

Page* repairablePage;
volatile void* faultAddressSeen;

// A handler like a VM's: it mends the fault and lets the access run again.
void repairingHandler(int, siginfo_t* info, void*) {
    faultAddressSeen = info->si_addr;
    repairablePage->protect(PROT_READ | PROT_WRITE);
}

// These run in a fresh process each, so our handlers are installed only
// by the guarded call inside them, after the test's own.
TEST(AccessGuardDeathTest, FaultOutsideAGuardedRoutineGoesToThePreviousHandler) {
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
            RunGuarded(doNothing, nullptr);

            page.protect(PROT_NONE);
            page.bytes()[0] = 7;
            std::exit(faultAddressSeen == page.address() && page.bytes()[0] == 7 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(AccessGuardDeathTest, FaultOutsideAGuardedRoutineStillKillsByDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            signal(SIGSEGV, SIG_DFL);
            RunGuarded(doNothing, nullptr);
            Page page;
            page.protect(PROT_NONE);
            page.bytes()[0] = 7;
        },
        ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
