// RunGuarded: access violations end a guarded routine at once; the
// process's signal handlers stay as they were throughout, so faults outside
// the routine reach them.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
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

// A guarded routine that holds on until the test says it may end.
struct Held {
    std::atomic<bool> running{false};
    std::atomic<bool> release{false};
};

void holdUntilReleased(void* context) {
    auto& held = *static_cast<Held*>(context);
    held.running = true;
    while (!held.release) sched_yield();
}

// Runs `whileGuarded` on this thread while another thread's guarded routine
// is in the middle of its run; the routine's result.
template <class Body>
DWORD whileARoutineRuns(Body whileGuarded) {
    Held held;
    DWORD result = 1;
    std::thread guarded([&] { result = RunGuarded(holdUntilReleased, &held); });
    while (!held.running) sched_yield();
    whileGuarded();
    held.release = true;
    guarded.join();
    return result;
}

// A VM checks now and then, from threads of its own, that its handlers stay
// its own: they must be, even in the middle of a guarded routine.
TEST(AccessGuard, ProcessHandlersStayAsTheyWereWhileARoutineRuns) {
    const struct sigaction before = currentSegvHandler();
    struct sigaction during {};
    EXPECT_EQ(whileARoutineRuns([&] { during = currentSegvHandler(); }), 0u);
    EXPECT_EQ(reinterpret_cast<void*>(during.sa_sigaction), reinterpret_cast<void*>(before.sa_sigaction));
    EXPECT_EQ(during.sa_flags, before.sa_flags);
    const struct sigaction after = currentSegvHandler();
    EXPECT_EQ(reinterpret_cast<void*>(after.sa_sigaction), reinterpret_cast<void*>(before.sa_sigaction));
    EXPECT_EQ(after.sa_flags, before.sa_flags);
}

// The routine shares the caller's thread-local storage: what it leaves in
// the last error is the caller's.
void setLastErrorTo42(void*) { SetLastError(42); }

TEST(AccessGuard, RoutineSeesTheCallersThreadLocalState) {
    SetLastError(0);
    EXPECT_EQ(RunGuarded(setLastErrorTo42, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 42u);
}

Page* repairablePage;
volatile void* faultAddressSeen;

// A handler like a VM's: it mends the fault and lets the access run again.
void repairingHandler(int, siginfo_t* info, void*) {
    faultAddressSeen = info->si_addr;
    repairablePage->protect(PROT_READ | PROT_WRITE);
}

// These run in a fresh process each, so the process's handlers are the
// test's own.
TEST(AccessGuardDeathTest, FaultOfAnotherThreadGoesToTheProcessHandler) {
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
            const DWORD result = whileARoutineRuns([&] { page.bytes()[0] = 7; });
            const bool kept = currentSegvHandler().sa_sigaction == repairingHandler;
            std::exit(result == 0 && kept && faultAddressSeen == page.address() && page.bytes()[0] == 7 ? 0
                                                                                                        : 1);
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
            whileARoutineRuns([&] { page.bytes()[0] = 7; });
        },
        ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
