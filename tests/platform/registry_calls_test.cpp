// The Reg* calls over a simulated registry, GetVersionExW and the system
// message table behind FormatMessageW.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry.h"
#include "registry_sim.h"
#include "wince.h"

namespace {

using wince::sim::SimRegistry;

class RegistryCalls : public ::testing::Test {
protected:
    void SetUp() override {
        registry.addSerialPort(u"Serial1", 1, u"First port");
        registry.addSerialPort(u"Serial2", 2, nullptr);
    }
    void TearDown() override { EXPECT_EQ(wince::openRegistryKeyCount(), 0u); }

    HKEY openBuiltIn() {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn", 0, KEY_READ, &key), ERROR_SUCCESS);
        return key;
    }

    SimRegistry registry;
};

TEST_F(RegistryCalls, OpensKeysByPathWithoutRegardToCase) {
    HKEY builtIn = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"DRIVERS\\builtin", 0, KEY_READ, &builtIn), ERROR_SUCCESS);
    HKEY driver = nullptr;
    ASSERT_EQ(RegOpenKeyExW(builtIn, u"serial1", 0, KEY_ENUMERATE_SUB_KEYS, &driver), ERROR_SUCCESS);
    DWORD index = 0;
    DWORD size = sizeof(index);
    EXPECT_EQ(RegQueryValueExW(driver, u"INDEX", nullptr, nullptr, reinterpret_cast<BYTE*>(&index), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(RegCloseKey(driver), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(builtIn), ERROR_SUCCESS);
}

TEST_F(RegistryCalls, EnumeratesSubKeysInOrderThenReportsNoMoreItems) {
    HKEY builtIn = openBuiltIn();
    std::vector<std::u16string> names;
    WCHAR name[256];
    for (DWORD i = 0;; ++i) {
        DWORD units = 256;
        FILETIME written{1, 1};
        LONG status = RegEnumKeyExW(builtIn, i, name, &units, nullptr, nullptr, nullptr, &written);
        if (status == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(units, std::u16string(name).size());
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Serial1", u"Serial2"}));

    DWORD units = 7;  // "Serial1" needs 8 with its terminator
    EXPECT_EQ(RegEnumKeyExW(builtIn, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(builtIn);
}

TEST_F(RegistryCalls, ValueLargerThanItsBufferIsMoreDataWithItsSize) {
    HKEY builtIn = openBuiltIn();
    HKEY driver = nullptr;
    ASSERT_EQ(RegOpenKeyExW(builtIn, u"Serial1", 0, 0, &driver), ERROR_SUCCESS);
    WCHAR text[4] = {u'x', u'x', u'x', u'x'};
    DWORD size = 6;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(driver, u"FriendlyName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof(u"First port"));
    EXPECT_EQ(type, REG_SZ);
    // What fitted is there, unterminated; nothing past the given size.
    EXPECT_EQ(std::u16string(text, 4), u"Firx");

    size = 0;
    EXPECT_EQ(RegQueryValueExW(driver, u"FriendlyName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof(u"First port"));
    RegCloseKey(driver);
    RegCloseKey(builtIn);
}

TEST_F(RegistryCalls, ClosedOrUnknownKeysAreInvalidHandles) {
    HKEY builtIn = openBuiltIn();
    ASSERT_EQ(RegCloseKey(builtIn), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(builtIn), ERROR_INVALID_HANDLE);
    WCHAR name[256];
    DWORD units = 256;
    EXPECT_EQ(RegEnumKeyExW(builtIn, 0, name, &units, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    HKEY reopened = openBuiltIn();
    EXPECT_NE(reopened, builtIn);
    RegCloseKey(reopened);
}

TEST(Version, ReportsWindowsCEUnlessATestAsksOtherwise) {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_CE);
    EXPECT_EQ(version.dwMajorVersion, 3u);
    {
        SimRegistry registry;
        registry.reportPlatform(VER_PLATFORM_WIN32_NT);
        ASSERT_TRUE(GetVersionExW(&version));
        EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);
    }
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_CE);

    version.dwOSVersionInfoSize = 20;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(&version));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

constexpr DWORD systemMessageFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

TEST(SystemMessages, EveryCodeTheLayerReportsHasATextEndingInALineEnd) {
    const DWORD codes[] = {0,   1,   2,   3,   4,   5,   6,   8,    14,   21,   22,
                           29,  30,  31,  32,  50,  87,  109, 121,  122,  123,  170,
                           234, 259, 317, 995, 996, 997, 998, 1117, 1150, 1167, 1460};
    for (DWORD code : codes) {
        WCHAR text[512];
        DWORD length = FormatMessageW(systemMessageFlags, nullptr, code, 0, text, 512, nullptr);
        ASSERT_GT(length, 2u) << code;
        EXPECT_EQ(std::u16string(text).size(), length) << code;
        EXPECT_EQ(text[length - 2], u'\r') << code;
        EXPECT_EQ(text[length - 1], u'\n') << code;
    }
}

TEST(SystemMessages, UnknownCodeOrShortBufferFailsWithoutTouchingTheBuffer) {
    WCHAR text[512] = {u'k', u'e', u'p', u't', 0};
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(systemMessageFlags, nullptr, 99999, 0, text, 512, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageW(systemMessageFlags, nullptr, 0xFFFFFFFFu, 0, text, 512, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageW(systemMessageFlags, nullptr, 2, 0, text, 5, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(text), u"kept");
}

}  // namespace
