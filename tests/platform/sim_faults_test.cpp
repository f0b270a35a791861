// Fault injection, call counting and captured message boxes of the
// simulated backend, seen through the platform calls that carry them.
#include <gtest/gtest.h>

#include <vector>

#include "sim.h"
#include "wince.h"

namespace {

class SimFaultsTest : public ::testing::Test {
protected:
    void SetUp() override { wince::sim::reset(); }
    void TearDown() override { wince::sim::reset(); }
};

TEST_F(SimFaultsTest, FailsTheArmedCallsAfterTheSkippedOnes) {
    wince::sim::failCall("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 2, 1);
    std::vector<HANDLE> made;
    std::vector<DWORD> errors;
    for (int call = 0; call < 4; ++call) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        errors.push_back(event ? 0 : GetLastError());
        if (event) made.push_back(event);
    }
    EXPECT_EQ(errors, (std::vector<DWORD>{0, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, 0}));
    EXPECT_EQ(wince::sim::callCount("CreateEventW"), 4);
    EXPECT_EQ(wince::sim::callCount("SetEvent"), 0);
    for (HANDLE event : made) EXPECT_TRUE(CloseHandle(event));
}

// The error a PurgeComm on no device ends with: the armed one, else the
// call's own ERROR_INVALID_HANDLE.
DWORD purgeError() {
    EXPECT_FALSE(PurgeComm(INVALID_HANDLE_VALUE, PURGE_RXCLEAR));
    return GetLastError();
}

TEST_F(SimFaultsTest, NegativeTimesFailsUntilRearmed) {
    wince::sim::failCall("PurgeComm", ERROR_GEN_FAILURE, -1);
    for (int call = 0; call < 5; ++call) EXPECT_EQ(purgeError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    wince::sim::failCall("PurgeComm", ERROR_GEN_FAILURE, 0);
    EXPECT_EQ(purgeError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(wince::sim::callCount("PurgeComm"), 6);
}

TEST_F(SimFaultsTest, ResetForgetsFaultsCountsBoxesSleepsAndLines) {
    wince::sim::addLine(u"SIMB:");
    wince::sim::failCall("SetEvent", ERROR_NOT_ENOUGH_MEMORY, 3);
    wince::sim::shortenSleeps(30, 0);
    MessageBoxW(nullptr, u"Erreur GetCommState", u"InitialiserRS232", MB_OK | MB_ICONHAND);
    auto boxes = wince::sim::messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, u"InitialiserRS232");
    EXPECT_EQ(boxes[0].text, u"Erreur GetCommState");
    EXPECT_EQ(boxes[0].style, 16u);

    wince::sim::reset();
    EXPECT_TRUE(wince::sim::messageBoxes().empty());
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(wince::sim::callCount("SetEvent"), 1);
    EXPECT_TRUE(CloseHandle(event));
    // Sleep lasts as asked again (a rule left in place would make this at once).
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    Sleep(30);
    QueryPerformanceCounter(&after);
    EXPECT_GE((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart, 29);
    HANDLE forgotten =
        CreateFileW(u"SIMB:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(forgotten, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
