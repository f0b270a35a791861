// Handles, events, threads, the last error and the message box of the host
// platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kernel_object.h"
#include "line_checks.h"
#include "sim.h"
#include "wince.h"

namespace {

using line_checks::Clock;
using line_checks::millisecondsSince;

HANDLE newEvent(BOOL manualReset, BOOL initialState) {
    return CreateEventW(nullptr, manualReset, initialState, nullptr);
}

TEST(HostHandles, ClosedHandleStaysInvalidAndIsNeverHandedOutAgain) {
    const size_t liveAtStart = wince::liveHandleCount();
    HANDLE first = newEvent(TRUE, FALSE);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(CloseHandle(first));

    SetLastError(0);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Cycle through every slot of the table more than once.
    for (int i = 0; i < 10000; ++i) {
        HANDLE next = newEvent(TRUE, FALSE);
        ASSERT_NE(next, nullptr);
        ASSERT_NE(next, first) << "after " << i << " events";
        ASSERT_TRUE(CloseHandle(next));
    }
    EXPECT_FALSE(SetEvent(first));
    EXPECT_EQ(wince::liveHandleCount(), liveAtStart);
}

TEST(HostHandles, NullAndInvalidHandleValueAreNeverValid) {
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST(HostHandles, FullTableRefusesThenRecovers) {
    std::vector<HANDLE> handles;
    HANDLE handle;
    while ((handle = newEvent(TRUE, FALSE)) != nullptr) handles.push_back(handle);
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_GE(handles.size(), 4000u);
    EXPECT_EQ(std::set<HANDLE>(handles.begin(), handles.end()).size(), handles.size());
    for (HANDLE h : handles) ASSERT_TRUE(CloseHandle(h));
    handle = newEvent(TRUE, FALSE);
    EXPECT_NE(handle, nullptr);
    CloseHandle(handle);
}

TEST(HostEvents, ManualResetStaysSetUntilReset) {
    HANDLE event = newEvent(TRUE, FALSE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(HostEvents, AutoResetReleasesOneWait) {
    HANDLE event = newEvent(FALSE, TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(HostEvents, WaitTimesOutOrEndsWhenSetElsewhere) {
    HANDLE event = newEvent(TRUE, FALSE);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 150), WAIT_TIMEOUT);
    EXPECT_GE(millisecondsSince(start), 140);
    EXPECT_LT(millisecondsSince(start), 2000);

    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(event);
    });
    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    EXPECT_LT(millisecondsSince(start), 5000);
    setter.join();
    CloseHandle(event);
}

// Two threads hand a token back and forth through two auto-reset events:
// a set that races with the other side going to sleep must never be lost.
TEST(HostEvents, AutoResetHandOverLosesNoSignal) {
    HANDLE ping = newEvent(FALSE, FALSE);
    HANDLE pong = newEvent(FALSE, FALSE);
    constexpr int kRounds = 20000;
    std::atomic<int> lost{0};
    std::thread echo([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(ping, 5000) != WAIT_OBJECT_0) ++lost;
            SetEvent(pong);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, 5000) != WAIT_OBJECT_0) ++lost;
    }
    echo.join();
    EXPECT_EQ(0, lost.load());
    EXPECT_EQ(WaitForSingleObject(ping, 0), WAIT_TIMEOUT);  // every set was taken once
    CloseHandle(ping);
    CloseHandle(pong);
}

TEST(HostEvents, ManualResetReleasesEveryWaiterAndAutoResetOnlyOne) {
    for (BOOL manual : {TRUE, FALSE}) {
        HANDLE event = newEvent(manual, FALSE);
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 4; ++i) {
            waiters.emplace_back([&] { released += WaitForSingleObject(event, 400) == WAIT_OBJECT_0; });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(event);
        for (std::thread& waiter : waiters) waiter.join();
        EXPECT_EQ(manual ? 4 : 1, released.load()) << (manual ? "manual" : "auto");
        CloseHandle(event);
    }
}

TEST(HostEvents, HandleClosedDuringWaitDoesNotBreakTheWait) {
    HANDLE event = newEvent(TRUE, FALSE);
    std::thread closer([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        CloseHandle(event);
    });
    const DWORD result = WaitForSingleObject(event, 300);
    closer.join();
    EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_OBJECT_0) << result;
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

struct IdProbe {
    DWORD id = 0;  // CreateThread writes it
    std::atomic<DWORD> seenByThread{0xFFFFFFFF};
};

DWORD WINAPI recordOwnId(LPVOID parameter) {
    auto* probe = static_cast<IdProbe*>(parameter);
    probe->seenByThread = probe->id;
    return 0;
}

TEST(HostThreads, IdIsWrittenBeforeTheThreadRuns) {
    std::set<DWORD> ids;
    for (int i = 0; i < 50; ++i) {
        IdProbe probe;
        HANDLE thread = CreateThread(nullptr, 0, recordOwnId, &probe, 0, &probe.id);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        EXPECT_NE(probe.id, 0u);
        EXPECT_EQ(probe.seenByThread.load(), probe.id);
        ids.insert(probe.id);
        CloseHandle(thread);
    }
    EXPECT_EQ(ids.size(), 50u);
}

DWORD WINAPI waitForGo(LPVOID parameter) {
    HANDLE go = static_cast<HANDLE>(parameter);
    WaitForSingleObject(go, INFINITE);
    return 0;
}

TEST(HostThreads, HandleIsSignalledWhenTheProcedureReturns) {
    HANDLE go = newEvent(TRUE, FALSE);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, waitForGo, go, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(go);
}

TEST(HostThreads, ClosingTheHandleLeavesTheThreadRunning) {
    HANDLE go = newEvent(TRUE, FALSE);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, waitForGo, go, 0, &id);
    ASSERT_NE(thread, nullptr);
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_LT(millisecondsSince(start), 1000);
    SetEvent(go);  // the thread was still waiting for it
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CloseHandle(go);
}

TEST(HostLastError, IsKeptPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenInThread = 1;
    std::thread other([&] {
        seenInThread = GetLastError();
        SetLastError(ERROR_GEN_FAILURE);
    });
    other.join();
    EXPECT_EQ(seenInThread, 0u);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(HostMessageBox, WritesOneLineAndAnswersOk) {
    wince::sim::reset();
    testing::internal::CaptureStderr();
    const int answer =
        MessageBoxW(nullptr, u"Erreur SetCommState \u00e9", u"InitialiserRS232", MB_OK | MB_ICONHAND);
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(output, "InitialiserRS232: Erreur SetCommState \xc3\xa9\n");
    const auto boxes = wince::sim::messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, u"InitialiserRS232");
    EXPECT_EQ(boxes[0].style, MB_OK | MB_ICONHAND);
}

}  // namespace
