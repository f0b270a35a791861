// The serial port list: the walk over the driver keys with its outcomes and
// limits, the collector, and the EnumPortRS native.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../platform/fake_sysfs.h"
#include "fake_jni.h"
#include "port_map.h"
#include "port_list.h"
#include "registry.h"
#include "registry_sim.h"
#include "seams.h"

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(JNIEnv* env,
                                                                                          jclass);

namespace {

using Texts = std::vector<std::u16string>;

std::u16string ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string keyName(int number) { return ascii("Serial" + std::to_string(number)); }

constexpr const char16_t* builtIn = u"Drivers\\BuiltIn";

class PortList : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(wince::openRegistryKeyCount(), 0u); }

    // What Java receives.
    Texts listing() {
        FakeJni jni;
        jobjectArray ports = Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(jni.env(), nullptr);
        EXPECT_EQ(jni.elementClass(ports), "java/lang/String");
        EXPECT_FALSE(jni.pendingException().has_value());
        return jni.texts(ports);
    }

    // Runs the walk with the list's own collector; false with its last error.
    static bool walk(DWORD& lastError) {
        for (PortListEntry& entry : portList) entry.portName[0] = 0;
        SetLastError(0);
        bool done = enumSerialPorts(collectPort);
        lastError = GetLastError();
        return done;
    }

    wince::sim::SimRegistry registry;
};

TEST_F(PortList, SerialDriverGivesNameAndFriendlyNameInBrackets) {
    registry.addSerialPort(u"Serial1", 1, u"Port série infrarouge");
    registry.addSerialPort(u"Serial2", 2, nullptr);
    EXPECT_EQ(listing(), (Texts{u"COM1: <Port série infrarouge>", u"COM2: <>"}));
}

TEST_F(PortList, OtherDriversAndKeysWithoutPrefixOrIndexAreNotListed) {
    registry.addOtherDrivers();
    registry.addSerialPort(u"Serial3", 3, u"Third");
    registry.addSerialPort(u"NoIndex", 4, u"No index").removeValue(u"Index");
    registry.addSerialPort(u"NoPrefix", 5, u"No prefix").removeValue(u"Prefix");
    registry.addSerialPort(u"Serial6", 6, u"Sixth");
    registry.addSerialPort(u"Lower", 8, u"Lower-case prefix").setString(u"Prefix", u"com");
    EXPECT_EQ(listing(), (Texts{u"COM3: <Third>", u"COM6: <Sixth>"}));
}

TEST_F(PortList, NoDriversOrNoBuiltInKeyGiveAnEmptyList) {
    DWORD lastError = 0;
    EXPECT_TRUE(walk(lastError));
    EXPECT_EQ(listing(), Texts{});
    registry.key(builtIn);
    EXPECT_TRUE(walk(lastError));
    EXPECT_EQ(listing(), Texts{});
}

TEST_F(PortList, WalkRefusesAMissingCollectorAndOtherPlatforms) {
    registry.addSerialPort(u"Serial1", 1, u"First");
    SetLastError(0);
    EXPECT_FALSE(enumSerialPorts(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    registry.reportPlatform(VER_PLATFORM_WIN32_NT);
    DWORD lastError = 0;
    EXPECT_FALSE(walk(lastError));
    EXPECT_EQ(lastError, ERROR_OLD_WIN_VERSION);
    EXPECT_EQ(listing(), Texts{});
}

TEST_F(PortList, IndexGivesTheNameUpToTheLongestThatFits) {
    registry.addSerialPort(u"Serial0", 0, u"Zero");
    registry.addSerialPort(u"Big", 99999, u"Largest");
    // COM100000: would not fit and a cut name would name another port.
    registry.addSerialPort(u"TooBig", 100000, u"Too large");
    registry.addSerialPort(u"Huge", 0xFFFFFFFFu, u"Far too large");
    registry.addSerialPort(u"Serial7", 7, u"After them");
    EXPECT_EQ(listing(), (Texts{u"COM0: <Zero>", u"COM99999: <Largest>", u"COM7: <After them>"}));
}

TEST_F(PortList, TwentyPortsAtMostAndTheWalkStopsAtTheTwentyFirst) {
    for (int i = 1; i <= 25; ++i) registry.addSerialPort(keyName(i), i, u"Port");
    // Reading the 21st driver key would end the walk in failure.
    registry.failOpen(u"Drivers\\BuiltIn\\Serial22", ERROR_ACCESS_DENIED);
    Texts expected;
    for (int i = 1; i <= 20; ++i) expected.push_back(ascii("COM" + std::to_string(i) + ": <Port>"));
    EXPECT_EQ(listing(), expected);
    DWORD lastError = 0;
    EXPECT_TRUE(walk(lastError));
    EXPECT_EQ(portListCount, 20);
}

TEST_F(PortList, FriendlyNameTooLongForItsBufferIsEmpty) {
    registry.addSerialPort(u"Serial1", 1, ascii(std::string(99, 'a')).c_str());
    registry.addSerialPort(u"Serial2", 2, ascii(std::string(100, 'b')).c_str());
    // A name stored without a terminator that fills the buffer exactly.
    std::vector<BYTE> unterminated(200, 'c');
    registry.addSerialPort(u"Serial3", 3, nullptr).setData(u"FriendlyName", REG_SZ, unterminated);
    Texts ports = listing();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0], u"COM1: <" + ascii(std::string(99, 'a')) + u">");
    EXPECT_EQ(ports[1], u"COM2: <>");
    EXPECT_EQ(ports[2], u"COM3: <>");
}

TEST_F(PortList, FailuresPartWayKeepThePortsFoundBefore) {
    struct Failure {
        const char* what;
        void (*inject)(wince::sim::SimRegistry& registry);
        DWORD status;
    };
    const Failure failures[] = {
        {"enumerating", [](auto& r) { r.failEnum(builtIn, 2, 1011); }, 1011},
        {"opening", [](auto& r) { r.failOpen(u"Drivers\\BuiltIn\\Serial3", 5); }, 5},
        {"reading PREFIX", [](auto& r) { r.failQuery(u"Drivers\\BuiltIn\\Serial3", u"PREFIX", 1009); }, 1009},
        {"reading INDEX", [](auto& r) { r.failQuery(u"Drivers\\BuiltIn\\Serial3", u"INDEX", 21); }, 21},
        {"a PREFIX too long",
         [](auto& r) { r.key(u"Drivers\\BuiltIn\\Serial3").setString(u"Prefix", u"COMPORTLONG"); },
         ERROR_MORE_DATA},
    };
    for (const Failure& failure : failures) {
        registry.clear();
        for (int i = 1; i <= 4; ++i) registry.addSerialPort(keyName(i), i, u"P");
        failure.inject(registry);
        EXPECT_EQ(listing(), (Texts{u"COM1: <P>", u"COM2: <P>"})) << failure.what;
        DWORD lastError = 0;
        EXPECT_FALSE(walk(lastError)) << failure.what;
        EXPECT_EQ(lastError, failure.status) << failure.what;
        EXPECT_EQ(wince::openRegistryKeyCount(), 0u) << failure.what;
    }
}

TEST_F(PortList, ParentKeyStatusesDecideBetweenNoPortAndFailure) {
    registry.addSerialPort(u"Serial1", 1, u"P");
    DWORD lastError = 0;
    registry.failOpen(builtIn, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(walk(lastError));
    registry.failOpen(builtIn, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(walk(lastError));
    EXPECT_EQ(lastError, ERROR_ACCESS_DENIED);
    EXPECT_EQ(listing(), Texts{});
}

TEST_F(PortList, UnreadableFriendlyNameIsEmptyAndTheWalkGoesOn) {
    registry.addSerialPort(u"Serial1", 1, u"One");
    registry.addSerialPort(u"Serial2", 2, u"Two");
    registry.failQuery(u"Drivers\\BuiltIn\\Serial1", u"FRIENDLYNAME", ERROR_ACCESS_DENIED);
    EXPECT_EQ(listing(), (Texts{u"COM1: <>", u"COM2: <Two>"}));
}

TEST_F(PortList, ElementTooLongCutsTheFriendlyNameNeverThePortName) {
    std::u16string longName = ascii(std::string(98, 'x') + "y");
    registry.addSerialPort(u"Big", 99999, longName.c_str());
    Texts ports = listing();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].size(), 109u);
    EXPECT_EQ(ports[0].substr(0, 12), u"COM99999: <x");
    EXPECT_EQ(ports[0].back(), u'>');
    EXPECT_EQ(ports[0], u"COM99999: <" + longName.substr(0, 97) + u">");
}

TEST_F(PortList, SecondListingAfterTheRegistryChangedGivesTheNewListOnly) {
    for (int i = 1; i <= 3; ++i) registry.addSerialPort(keyName(i), i, u"Old");
    ASSERT_EQ(listing().size(), 3u);
    registry.removeKey(u"Drivers\\BuiltIn\\Serial1");
    registry.removeKey(u"Drivers\\BuiltIn\\Serial2");
    registry.addSerialPort(u"Serial9", 9, u"New");
    EXPECT_EQ(listing(), (Texts{u"COM3: <Old>", u"COM9: <New>"}));
    registry.removeKey(builtIn);
    EXPECT_EQ(listing(), Texts{});
}

// Listings from several threads never mix their entries.
TEST_F(PortList, ConcurrentListingsEachGetTheWholeList) {
    Texts expected;
    for (int i = 1; i <= 6; ++i) {
        registry.addSerialPort(keyName(i), i, u"Port");
        expected.push_back(ascii("COM" + std::to_string(i) + ": <Port>"));
    }
    registry.delayOpens(1);
    FakeJni jni;
    std::vector<int> wrong(4, 0);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            // Start together, so that the listings really overlap.
            ++ready;
            while (ready.load() < 4) std::this_thread::yield();
            for (int i = 0; i < 5; ++i) {
                jobjectArray ports = Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(jni.env(), nullptr);
                if (jni.texts(ports) != expected) ++wrong[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST_F(PortList, VmOutOfMemoryGivesNullWithItsExceptionPending) {
    registry.addSerialPort(u"Serial1", 1, u"P");
    for (const char* call : {"NewObjectArray", "FindClass"}) {
        FakeJni jni;
        jni.refuse(call);
        EXPECT_EQ(Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(jni.env(), nullptr), nullptr);
        EXPECT_TRUE(jni.pendingException().has_value()) << call;
        EXPECT_TRUE(jni.callsWhilePending().empty()) << call;
    }
}

// The host's own registry over a sysfs tree that changes between listings.
class PortListOnHost : public ::testing::Test {
protected:
    void SetUp() override {
        // No port map: the host's own ports are listed, whatever the environment says.
        wince::installPortMap(std::make_shared<wince::PortMap>());
        wince::forgetSerialPortNumbers();
    }
    void TearDown() override {
        wince::forgetSerialPortNumbers();
        wince::installPortMap(nullptr);
    }

    static Texts listing() {
        FakeJni jni;
        return jni.texts(Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(jni.env(), nullptr));
    }

    FakeSysfs sysfs;
};

TEST_F(PortListOnHost, AdapterPluggedInOrRemovedShowsInTheNextListing) {
    sysfs.addUart("ttyS0", "0");
    sysfs.addUart("ttyS1", "4");
    sysfs.addUsbSerial("ttyUSB0", "FTDI", "FT232R USB UART");
    EXPECT_EQ(listing(), (Texts{u"COM1: </dev/ttyS1>", u"COM2: <FTDI FT232R USB UART (/dev/ttyUSB0)>"}));

    sysfs.addAcm("ttyACM0", "Instrument Link");
    sysfs.remove("ttyUSB0");
    EXPECT_EQ(listing(), (Texts{u"COM1: </dev/ttyS1>", u"COM3: <Instrument Link (/dev/ttyACM0)>"}));
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM3:"), "/dev/ttyACM0");
}

using Adapter = FakeSysfs::UsbAdapter;

TEST_F(PortListOnHost, AdapterPluggedBackUnderANewNodeKeepsItsNumber) {
    sysfs.plugUsbSerial("ttyUSB0", Adapter{"FTDI", "FT232R USB UART", "A10K3X2B", "1-1"});
    sysfs.plugUsbSerial("ttyUSB1", Adapter{"", "USB Serial", "", "1-2", "1a86", "7523"});
    EXPECT_EQ(listing(), (Texts{u"COM1: <FTDI FT232R USB UART S/N A10K3X2B (/dev/ttyUSB0)>",
                                u"COM2: <USB Serial (/dev/ttyUSB1)>"}));

    // While it is away another adapter takes its node: COM1: names nothing,
    // never the newcomer.
    sysfs.remove("ttyUSB0");
    sysfs.plugUsbSerial("ttyUSB0", Adapter{"Prolific", "USB-Serial Controller", "P9", "1-3"});
    EXPECT_EQ(listing(), (Texts{u"COM2: <USB Serial (/dev/ttyUSB1)>",
                                u"COM3: <Prolific USB-Serial Controller S/N P9 (/dev/ttyUSB0)>"}));
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM1:"), "");

    // Back under a new node, in another USB port: known by its serial number.
    sysfs.plugUsbSerial("ttyUSB2", Adapter{"FTDI", "FT232R USB UART", "A10K3X2B", "1-4"});
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM1:"), "/dev/ttyUSB2");
    // Without a serial number: known by the USB port it comes back to.
    sysfs.remove("ttyUSB1");
    sysfs.plugUsbSerial("ttyUSB5", Adapter{"", "USB Serial", "", "1-2", "1a86", "7523"});
    EXPECT_EQ(listing(), (Texts{u"COM1: <FTDI FT232R USB UART S/N A10K3X2B (/dev/ttyUSB2)>",
                                u"COM2: <USB Serial (/dev/ttyUSB5)>",
                                u"COM3: <Prolific USB-Serial Controller S/N P9 (/dev/ttyUSB0)>"}));
}

TEST_F(PortListOnHost, IdenticalAdaptersAreToldApartByTheirSerialNumbers) {
    sysfs.plugUsbSerial("ttyUSB0", Adapter{"FTDI", "FT232R USB UART", "AAA111", "1-1"});
    sysfs.plugUsbSerial("ttyUSB1", Adapter{"FTDI", "FT232R USB UART", "BBB222", "1-2"});
    EXPECT_EQ(listing(), (Texts{u"COM1: <FTDI FT232R USB UART S/N AAA111 (/dev/ttyUSB0)>",
                                u"COM2: <FTDI FT232R USB UART S/N BBB222 (/dev/ttyUSB1)>"}));
    // Both unplugged and plugged back the other way round, nodes swapped.
    sysfs.remove("ttyUSB0");
    sysfs.remove("ttyUSB1");
    sysfs.plugUsbSerial("ttyUSB0", Adapter{"FTDI", "FT232R USB UART", "BBB222", "1-1"});
    sysfs.plugUsbSerial("ttyUSB1", Adapter{"FTDI", "FT232R USB UART", "AAA111", "1-2"});
    EXPECT_EQ(listing(), (Texts{u"COM1: <FTDI FT232R USB UART S/N AAA111 (/dev/ttyUSB1)>",
                                u"COM2: <FTDI FT232R USB UART S/N BBB222 (/dev/ttyUSB0)>"}));
}

TEST_F(PortListOnHost, AdaptersSharingOneSerialNumberStillGetANumberEach) {
    sysfs.plugUsbSerial("ttyUSB0", Adapter{"", "CP2102", "0001", "1-1"});
    sysfs.plugUsbSerial("ttyUSB1", Adapter{"", "CP2102", "0001", "1-2"});
    EXPECT_EQ(listing(),
              (Texts{u"COM1: <CP2102 S/N 0001 (/dev/ttyUSB0)>", u"COM2: <CP2102 S/N 0001 (/dev/ttyUSB1)>"}));
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM2:"), "/dev/ttyUSB1");
}

TEST_F(PortListOnHost, SerialNumberAndPathOutlastALongProductName) {
    sysfs.plugUsbSerial("ttyUSB0", Adapter{"Maker", std::string(150, 'p'), "SN42", "1-1"});
    const std::u16string element = listing().at(0);
    EXPECT_EQ(element.size(), std::u16string(u"COM1: <>").size() + 99);
    EXPECT_EQ(element.substr(0, 13), u"COM1: <Maker ");
    EXPECT_EQ(element.substr(element.size() - 25), u" S/N SN42 (/dev/ttyUSB0)>");
}

}  // namespace
