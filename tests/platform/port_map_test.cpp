// The port map: what WINCE_DEVICES text maps and what it refuses, and that
// the device opener and the port list answer from the same map.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "open_failure.h"
#include "port_map.h"
#include "seams.h"
#include "wince.h"

namespace {

using wince::PortMap;

std::vector<std::string> rejectionLines(const PortMap& map) {
    std::vector<std::string> lines;
    for (const PortMap::Rejection& rejection : map.rejections())
        lines.push_back(wince::rejectionLine(rejection));
    return lines;
}

TEST(PortMapParse, MapsNamesToPathsAsWritten) {
    const PortMap map =
        PortMap::parse("COM1:=/dev/ttyUSB0,com3=/dev/pts/4,OBX0:=/tmp/a=b,, COM2:=/dev/x y ,");
    EXPECT_TRUE(map.given());
    EXPECT_TRUE(map.rejections().empty());
    ASSERT_EQ(map.entries().size(), 4u);
    // A name without its colon gets one; the path runs to the comma, '=' and
    // blanks included; blanks around a name stay part of it.
    EXPECT_EQ(map.entries()[1].name, u"com3:");
    EXPECT_EQ(map.pathFor(u"COM3:"), "/dev/pts/4");
    EXPECT_EQ(map.pathFor(u"com1:"), "/dev/ttyUSB0");
    EXPECT_EQ(map.pathFor(u"OBX0:"), "/tmp/a=b");
    EXPECT_EQ(map.entries()[3].name, u" COM2:");
    EXPECT_EQ(map.pathFor(u" COM2:"), "/dev/x y ");
    EXPECT_EQ(map.pathFor(u"COM2:"), "");
    EXPECT_EQ(map.pathFor(u"COM3"), "");  // the caller's name is taken as given

    // Given but empty: nothing maps, and the host's own ports do not step in.
    EXPECT_TRUE(PortMap::parse("").given());
    EXPECT_TRUE(PortMap::parse("").entries().empty());
    EXPECT_FALSE(PortMap().given());
    EXPECT_EQ(PortMap().pathFor(u"COM1:"), "");
}

TEST(PortMapParse, MalformedEntriesAreNamedWithTheirReasonAndTheRestStillMap) {
    const PortMap map = PortMap::parse(
        "COM1:/dev/ttyUSB0,=/dev/ttyUSB1,COM2:=,COM99999:=/dev/a,COM100000=/dev/b,"
        "COM3:=/dev/ttyUSB3,FARTOOLONGNAME:=/dev/c,COM4=/dev/ttyUSB4");
    EXPECT_EQ(rejectionLines(map),
              (std::vector<std::string>{
                  "WINCE_DEVICES: ignoring \"COM1:/dev/ttyUSB0\": no '=' between the name and the path",
                  "WINCE_DEVICES: ignoring \"=/dev/ttyUSB1\": the name is empty",
                  "WINCE_DEVICES: ignoring \"COM2:=\": the path is empty",
                  "WINCE_DEVICES: ignoring \"COM100000=/dev/b\": the name COM100000: is longer "
                  "than 9 characters",
                  "WINCE_DEVICES: ignoring \"FARTOOLONGNAME:=/dev/c\": the name FARTOOLONGNAME: "
                  "is longer than 9 characters",
              }));
    ASSERT_EQ(map.entries().size(), 3u);
    EXPECT_EQ(map.pathFor(u"COM99999:"), "/dev/a");  // the longest name that fits
    EXPECT_EQ(map.pathFor(u"COM3:"), "/dev/ttyUSB3");
    EXPECT_EQ(map.pathFor(u"COM4:"), "/dev/ttyUSB4");
    EXPECT_EQ(map.pathFor(u"COM1:"), "");
    EXPECT_EQ(map.pathFor(u"COM2:"), "");

    // The entry is shown on one line whatever it holds.
    EXPECT_EQ(rejectionLines(PortMap::parse("COM5:\n\n\n\n\n=/x,\tCOM6:/y\x7f")),
              (std::vector<std::string>{
                  "WINCE_DEVICES: ignoring \"COM5:\\x0A\\x0A\\x0A\\x0A\\x0A=/x\": the name "
                  "COM5:\\x0A\\x0A\\x0A\\x0A"
                  "\\x0A: is longer than 9 characters",
                  "WINCE_DEVICES: ignoring \"\\x09COM6:/y\\x7F\": no '=' between the name and the path",
              }));
}

TEST(PortMapParse, TheFirstEntryOfANameCountsAndLaterOnesAreReported) {
    const PortMap map = PortMap::parse("COM1:=/dev/a,com1=/dev/b,COM2:=,COM1:=/dev/c,Com2=/dev/d");
    EXPECT_EQ(rejectionLines(map),
              (std::vector<std::string>{
                  "WINCE_DEVICES: ignoring \"com1=/dev/b\": com1: is already mapped by an earlier entry",
                  "WINCE_DEVICES: ignoring \"COM2:=\": the path is empty",
                  "WINCE_DEVICES: ignoring \"COM1:=/dev/c\": COM1: is already mapped by an earlier entry",
              }));
    EXPECT_EQ(map.pathFor(u"COM1:"), "/dev/a");
    // An entry that was refused maps nothing, so a later one of its name does.
    EXPECT_EQ(map.pathFor(u"COM2:"), "/dev/d");
    EXPECT_EQ(map.entries().size(), 2u);
}

std::vector<std::u16string> listedDriverKeys() {
    HKEY builtIn = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn", 0, KEY_READ, &builtIn) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no Drivers\\BuiltIn";
        return {};
    }
    std::vector<std::u16string> names;
    WCHAR name[64];
    DWORD units = 64;
    for (DWORD i = 0;
         RegEnumKeyExW(builtIn, i, name, &units, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, units = 64) {
        names.push_back(name);
    }
    RegCloseKey(builtIn);
    return names;
}

HANDLE openName(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class InstalledPortMap : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() / ("port-map-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "present").put('\n');
    }
    void TearDown() override {
        wince::installPortMap(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::filesystem::path folder;
};

// A name the list shows is a name that opens, and one it leaves out does not.
TEST_F(InstalledPortMap, OpenerAndPortListAnswerFromTheInstalledMap) {
    const std::string present = (folder / "present").string();
    wince::installPortMap(std::make_shared<PortMap>(
        PortMap::parse("COM2:=" + present + ",COM3:=" + (folder / "absent").string() + ",COM4:/x")));
    EXPECT_EQ(listedDriverKeys(), (std::vector<std::u16string>{u"Serial2"}));

    HANDLE port = openName(u"com2:");
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    EXPECT_EQ(openName(u"COM3:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(openName(u"COM4:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(wince::lastOpenFailure().find("WINCE_DEVICES does not map this name"), std::string::npos)
        << wince::lastOpenFailure();

    // Another map takes effect at once, for both.
    wince::installPortMap(std::make_shared<PortMap>(PortMap::parse("COM5:=" + present)));
    EXPECT_EQ(listedDriverKeys(), (std::vector<std::u16string>{u"Serial5"}));
    EXPECT_EQ(openName(u"COM2:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// The variable itself, in a process of its own: read once on first use,
// after the program set it, and each refused entry told once on stderr
// however often ports are opened and listed.
TEST(PortMapFromEnvironment, ReadOnFirstUseAndRefusedEntriesToldOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string file =
        (std::filesystem::temp_directory_path() / ("port-map-env-" + std::to_string(getpid()))).string();
    std::ofstream(file).put('\n');
    EXPECT_EXIT(
        {
            setenv("WINCE_DEVICES", ("COM1:/dev/null,COM6:=" + file + ",COM6:=/dev/null").c_str(), 1);
            bool ok = true;
            for (int round = 0; round < 3; ++round) {
                HANDLE port = openName(u"COM6:");
                ok = ok && port != INVALID_HANDLE_VALUE && CloseHandle(port);
                ok = ok && listedDriverKeys() == std::vector<std::u16string>{u"Serial6"};
                // Too late: the map was read at the first use.
                setenv("WINCE_DEVICES", "", 1);
            }
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0),
        "^WINCE_DEVICES: ignoring \"COM1:/dev/null\": no '=' between the name and the path\n"
        "WINCE_DEVICES: ignoring \"COM6:=/dev/null\": COM6: is already mapped by an earlier entry\n$");
    std::filesystem::remove(file);
}

}  // namespace
