// Shared setup for the port tests: simulated lines as devices, every slot
// closed and every worker ended after each test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>

#include "exchange.h"
#include "line_checks.h"
#include "port_table.h"
#include "sim.h"

using wince::sim::Bytes;

class PortFixture : public ::testing::Test {
protected:
    void SetUp() override {
        wince::sim::reset();
        forgetEarlierOpenings();
    }

    void TearDown() override {
        for (int32_t i = 0; i < kPortCount; ++i) {
            if (portTable[i].hPort.load() != nullptr) closePort(i);
        }
        for (int32_t i = 0; i < kPortCount; ++i) EXPECT_TRUE(workerEnds(i)) << "worker of slot " << i;
    }

    // Every slot as the library finds it at load, whatever earlier tests in
    // this process opened: a test's expectations must not depend on order.
    static void forgetEarlierOpenings() {
        for (int32_t i = 0; i < kPortCount; ++i) {
            ASSERT_EQ(nullptr, portTable[i].hPort.load()) << "slot " << i << " left open";
            ASSERT_TRUE(workerEnds(i)) << "worker of slot " << i;
            std::fill(std::begin(portTable[i].portName), std::end(portTable[i].portName), u'\0');
            portTable[i].timeoutMs = 0;
            portTable[i].recognizer = nullptr;
            sendRetries[i] = 0;
            receiveRetries[i] = 0;
        }
    }

    static std::u16string comName(int number) {
        std::string ascii = "COM" + std::to_string(number) + ":";
        return std::u16string(ascii.begin(), ascii.end());
    }

    // Opens `name` with the family's settings; returns the result code and
    // leaves the slot index in `index`.
    static ResultCode open(const std::u16string& name, InstrumentFamily family, int32_t& index,
                           uint32_t baudRate = 9600) {
        LineSettings settings = familySettings(family, baudRate);
        name.copy(settings.portName, kPortNameUnits - 1);
        return openPort(settings, &index);
    }

    static bool workerEnds(int32_t index, int waitMs = 1000) {
        for (int waited = 0; waited < waitMs; waited += 5) {
            if (!portTable[index].workerRunning.load()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    static std::u16string slotName(int32_t index) { return std::u16string(portTable[index].portName); }
};

// An instrument that answers every command with `reply`.
inline void answerWith(wince::sim::SimLine& line, Bytes reply) {
    line.setResponder([reply](wince::sim::SimLine& far, const Bytes&) { far.deliver(reply); });
}

inline Bytes kelt3bFrame(uint8_t tag) { return {0x5A, 0xA5, tag, 1, 2, 3, 4, 5, 6, 7, 8, 9}; }

using line_checks::Clock;

inline long msSince(Clock::time_point start) {
    return static_cast<long>(line_checks::millisecondsSince(start));
}
