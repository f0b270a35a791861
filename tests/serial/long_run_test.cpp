// Long runs of exchanges on one port, as a day in the field brings them:
// the longest frames, stray bytes, instruments that repeat their previous
// reply. Every reply must arrive at its first wait, and always the new one.
#include "port_fixture.h"

#include <thread>

using namespace wince::sim;

namespace {

constexpr int kExchanges = 200;

Bytes filled(size_t count, int seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return bytes;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes keltFrame(int tag) { return join({{0x5A, 0xA5}, Bytes(10, static_cast<uint8_t>(tag))}); }

Bytes qtv2Frame(const Bytes& body) {
    Bytes frame = join({{0x80, 0xF0, 0x10, static_cast<uint8_t>(body.size())}, body});
    uint8_t sum = 0;
    for (uint8_t b : frame) sum = static_cast<uint8_t>(sum + b);
    frame.push_back(sum);
    return frame;
}

// What one family is asked and answers at its longest.
struct LongestExchange {
    InstrumentFamily family;
    Bytes command;
    Bytes (*frame)(int exchange);
};

const LongestExchange kLongest[] = {
    {InstrumentFamily::QTVv1,
     {0x78, 0x12, 0x34, 0xFF},
     [](int i) {
         return join({{0x12, 0x34}, filled(256, i)});
     }},
    {InstrumentFamily::QTVv2,
     {0x80, 0x10, 0xF0, 0x01, 0x21, 0xA2},
     [](int i) {
         return qtv2Frame(join({{0x61}, filled(254, i)}));
     }},
    {InstrumentFamily::KELT3B, {0x01}, [](int i) { return keltFrame(i); }},
    {InstrumentFamily::VX9,
     {0x02},
     [](int i) {
         return join({{0x00, 0x01, 0x02}, filled(10, i)});
     }},
};

class LongRun : public PortFixture {
protected:
    std::shared_ptr<SimLine> line;
    int32_t port = -1;

    // The worker's 20 ms pauses cost these runs real time, nothing else.
    void SetUp() override {
        PortFixture::SetUp();
        shortenSleeps(20, 1);
    }

    void openAs(InstrumentFamily family) {
        line = addLine(u"COM1:");
        ASSERT_EQ(0, open(u"COM1:", family, port));
    }

    // Sends `command`; the instrument answers with `burst`, all at once,
    // once the caller waits for the reply. `frame` gets what was delivered.
    ResultCode exchange(const Bytes& command, const Bytes& burst, Bytes& frame) {
        ResultCode result = sendMessage(port, command.data(), static_cast<int32_t>(command.size()));
        if (result != 0) return result;
        std::thread instrument([&] {
            auto start = Clock::now();
            while (portTable[port].replyWanted.load() == kHandoverIdle && msSince(start) < 2000) {
                std::this_thread::yield();
            }
            line->deliver(burst);
        });
        uint8_t reply[260];
        int32_t length = 0;
        result = receiveReply(port, reply, sizeof reply, &length);
        instrument.join();
        frame.assign(reply, reply + (result == 0 ? length : 0));
        return result;
    }
};

TEST_F(LongRun, TheLongestFrameOfEachFamilyArrivesEveryTimeWithoutAResend) {
    for (const LongestExchange& run : kLongest) {
        openAs(run.family);
        int delivered = 0;
        for (int i = 0; i < kExchanges; ++i) {
            Bytes frame;
            ASSERT_EQ(0, exchange(run.command, run.frame(i), frame)) << "exchange " << i;
            delivered += frame == run.frame(i);
        }
        EXPECT_EQ(kExchanges, delivered) << "family " << static_cast<int>(run.family);
        EXPECT_EQ(static_cast<size_t>(kExchanges), line->writeCalls().size()) << "resends";
        ASSERT_NE(0, closePort(port));
        ASSERT_TRUE(workerEnds(port));
    }
}

TEST_F(LongRun, HundredsOfStrayBytesBeforeShortFramesCostNoResend) {
    openAs(InstrumentFamily::KELT3B);
    for (int i = 0; i < kExchanges; ++i) {
        Bytes frame;
        ASSERT_EQ(0, exchange({0x01}, join({Bytes(300 + i % 200, 0x33), keltFrame(i)}), frame))
            << "exchange " << i;
        ASSERT_EQ(keltFrame(i), frame) << "exchange " << i;
    }
    EXPECT_EQ(static_cast<size_t>(kExchanges), line->writeCalls().size());
}

// The instrument sends its previous reply again in the same burst as the
// new one; over this many exchanges the window would cross the whole
// buffer several times.
TEST_F(LongRun, AReplyRepeatedWithTheNewOneNeverWinsOverIt) {
    openAs(InstrumentFamily::KELT3B);
    for (int i = 1; i <= 3 * kExchanges; ++i) {
        Bytes frame;
        Bytes burst = join({Bytes(static_cast<size_t>(i % 7), 0x33), keltFrame(i - 1), keltFrame(i)});
        ASSERT_EQ(0, exchange({0x01}, burst, frame)) << "exchange " << i;
        ASSERT_EQ(keltFrame(i), frame) << "exchange " << i;
    }
}

// A burst longer than one read: the frame in its first part is older than
// the one that is still queued at the device.
TEST_F(LongRun, AFrameStillQueuedAtTheDeviceWinsOverAnOlderOneAlreadyRead) {
    openAs(InstrumentFamily::KELT3B);
    for (int i = 1; i <= 20; ++i) {
        Bytes frame;
        ASSERT_EQ(0, exchange({0x01}, join({keltFrame(i - 1), Bytes(300, 0x33), keltFrame(i)}), frame));
        ASSERT_EQ(keltFrame(i), frame) << "exchange " << i;
    }
}

}  // namespace
