// The load and unload notifications meet a failing platform call at each of
// their steps: the library still loads and unloads, and leaves open no
// handle that the platform let it close.
#include <gtest/gtest.h>

#include "kernel_object.h"
#include "load_hook.h"
#include "sim.h"
#include "sys_sim.h"

using wince::sim::SimSystem;

namespace {

struct NotificationFault {
    DWORD reason;
    const char* call;
    bool codeDelivered;  // the driver still received its code
    bool closed;         // the driver's handle was closed
};

void PrintTo(const NotificationFault& fault, std::ostream* out) {
    *out << fault.call << " on " << fault.reason;
}

class DriverNotificationFault : public ::testing::TestWithParam<NotificationFault> {
protected:
    SimSystem sim;
};

TEST_P(DriverNotificationFault, LibraryCarriesOnAndClosesWhatItOpened) {
    const NotificationFault fault = GetParam();
    const size_t handlesBefore = wince::liveHandleCount();
    wince::sim::failCall(fault.call, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(TRUE, DllMain(nullptr, fault.reason, nullptr));
    wince::sim::failCall(fault.call, 0, 0);

    EXPECT_EQ(fault.codeDelivered ? 1u : 0u, sim.driverCodes().size());
    EXPECT_EQ(fault.closed ? 1 : 0, sim.driverCloses());
    // A close the platform refused is the only handle that may remain.
    const bool refusedClose = std::string(fault.call) == "CloseHandle";
    EXPECT_EQ(handlesBefore + (refusedClose ? 1 : 0), wince::liveHandleCount());

    // The next notification goes through whole.
    EXPECT_EQ(TRUE, DllMain(nullptr, fault.reason, nullptr));
    EXPECT_EQ(fault.codeDelivered ? 2u : 1u, sim.driverCodes().size());
    EXPECT_EQ(handlesBefore + (refusedClose ? 1 : 0), wince::liveHandleCount());
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, DriverNotificationFault,
    ::testing::Values(NotificationFault{DLL_PROCESS_ATTACH, "CreateFileW", false, false},
                      NotificationFault{DLL_PROCESS_ATTACH, "DeviceIoControl", false, true},
                      NotificationFault{DLL_PROCESS_ATTACH, "CloseHandle", true, false},
                      NotificationFault{DLL_PROCESS_DETACH, "CreateFileW", false, false},
                      NotificationFault{DLL_PROCESS_DETACH, "DeviceIoControl", false, true},
                      NotificationFault{DLL_PROCESS_DETACH, "CloseHandle", true, false}),
    [](const ::testing::TestParamInfo<NotificationFault>& info) {
        return std::string(info.param.reason == DLL_PROCESS_ATTACH ? "Attach" : "Detach") + info.param.call;
    });

}  // namespace
