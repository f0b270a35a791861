// The baud-rate override against the simulated bus and register block: the
// exact register access sequences, the refusals, the exception texts, and
// access violations in the middle of a sequence.
#include <gtest/gtest.h>

#include <climits>

#include "fake_jni.h"
#include "sim.h"
#include "sys_sim.h"
#include "uart_override.h"

using wince::sim::RegisterAccess;
using wince::sim::SimSystem;

namespace wince::sim {
void PrintTo(const KernelIoControlRecord& call, std::ostream* out) {
    *out << "KernelIoControl(0x" << std::hex << call.code << std::dec << (call.inGiven ? ", in " : ", null ")
         << call.inSize << (call.outGiven ? ", out " : ", null ") << call.outSize
         << (call.outZeroed ? " zeroed" : " not zeroed") << (call.returnedGiven ? ", count)" : ", null)");
}
}  // namespace wince::sim

namespace {

const char kException[] = "javax/comm/UnsupportedCommOperationException";
const char kRateRefused[] =
    "javax/comm/UnsupportedCommOperationException:  Unsupported Baud Rate in nativeSetBaudBase";
const char kBlockRefused[] =
    "javax/comm/UnsupportedCommOperationException:  Unsupported Non Standard Baud Rate in "
    "InitializeRegisters";

constexpr size_t kUtcr1 = 0x04, kUtcr2 = 0x08, kUtcr3 = 0x0C;
constexpr size_t kDll = 0x00, kDlh = 0x04, kLcr = 0x0C;

RegisterAccess read32(intptr_t offset, uint32_t value) { return {offset, 4, false, value}; }
RegisterAccess write32(intptr_t offset, uint32_t value) { return {offset, 4, true, value}; }
RegisterAccess read8(intptr_t offset, uint32_t value) { return {offset, 1, false, value}; }
RegisterAccess write8(intptr_t offset, uint32_t value) { return {offset, 1, true, value}; }

class BaudRateOverride : public ::testing::Test {
protected:
    BaudRateOverride() { jni.knownClasses.insert(kException); }

    void onSa1110() { sim.setProcessor(u"SA1110", u"ARM"); }
    void onPxa() { sim.setProcessor(u"PXA255", u"ARM"); }
    jint setRate(jint rate) { return SetNonStandardBaudRate(jni.env(), rate); }

    std::string pendingMessage() {
        auto pending = jni.pendingException();
        if (!pending) return "(none)";
        EXPECT_EQ(pending->className, kException);
        return pending->message;
    }

    // Every mapping of the call released again, nothing left mapped.
    void expectMappingsReleased() {
        const auto mapped = sim.mappings();
        const auto unmapped = sim.unmappings();
        ASSERT_EQ(unmapped.size(), mapped.size());
        for (size_t i = 0; i < mapped.size(); ++i) {
            EXPECT_EQ(unmapped[i].base, mapped[i].base);
            EXPECT_EQ(unmapped[i].length, mapped[i].length);
        }
    }

    SimSystem sim;
    FakeJni jni;
};

TEST_F(BaudRateOverride, Sa1110SequenceFor115200) {
    onSa1110();
    // RXE, TXE, RIE and TIE on, BRK and LBM off, upper bits set.
    sim.setRegister32(kUtcr3, 0xFFFFFFDB);
    sim.setRegister32(kUtcr1, 0xABCDEF5A);
    sim.setRegister32(kUtcr2, 0x12345678);

    EXPECT_EQ(setRate(115200), 1);

    const std::vector<RegisterAccess> expected = {
        read32(kUtcr3, 0xFFFFFFDB),                               // saved
        read32(kUtcr3, 0xFFFFFFDB), write32(kUtcr3, 0xFFFFFFD3),  // RIE off
        read32(kUtcr3, 0xFFFFFFD3), write32(kUtcr3, 0xFFFFFFC3),  // TIE off
        read32(kUtcr3, 0xFFFFFFC3), write32(kUtcr3, 0xFFFFFFC2),  // RXE off
        read32(kUtcr3, 0xFFFFFFC2), write32(kUtcr3, 0xFFFFFFC0),  // TXE off
        read32(kUtcr1, 0xABCDEF5A), write32(kUtcr1, 0xABCDEF50),  // divisor 11..8
        read32(kUtcr2, 0x12345678), write32(kUtcr2, 0x12345601),  // divisor 7..0
        read32(kUtcr3, 0xFFFFFFC0), write32(kUtcr3, 0xFFFFFFC1),  // RXE back
        read32(kUtcr3, 0xFFFFFFC1), write32(kUtcr3, 0xFFFFFFC3),  // TXE back
        read32(kUtcr3, 0xFFFFFFC3), write32(kUtcr3, 0xFFFFFFC3),  // BRK as saved
        read32(kUtcr3, 0xFFFFFFC3), write32(kUtcr3, 0xFFFFFFCB),  // RIE back
        read32(kUtcr3, 0xFFFFFFCB), write32(kUtcr3, 0xFFFFFFDB),  // TIE back
        read32(kUtcr3, 0xFFFFFFDB), write32(kUtcr3, 0xFFFFFFDB),  // LBM as saved
        read32(kUtcr3, 0xFFFFFFDB), write32(kUtcr3, 0xFFFFFFDB),  // upper bits as saved
    };
    EXPECT_EQ(sim.registerAccesses(), expected);
    EXPECT_FALSE(jni.pendingException());
}

// UTCR3's bits 31..6 go back as they were saved, not as they read at the
// end: here the register keeps only its six control bits of what is written.
TEST_F(BaudRateOverride, Sa1110FinalUtcr3WriteTakesItsUpperBitsFromTheSavedValue) {
    onSa1110();
    sim.setRegister32(kUtcr3, 0xABCDEF1B);
    sim.keepOnWrite(kUtcr3, 0x3F);
    EXPECT_EQ(setRate(9600), 1);
    const auto accesses = sim.registerAccesses();
    ASSERT_EQ(accesses.size(), 27u);
    EXPECT_EQ(accesses[25], read32(kUtcr3, 0x1B));
    EXPECT_EQ(accesses[26], write32(kUtcr3, 0xABCDEF1B));
}

TEST_F(BaudRateOverride, Sa1110LeavesBreakAndLoopbackAloneAndRestoresAll) {
    onSa1110();
    sim.setRegister32(kUtcr3, 0x0000013F);  // all six control bits and bit 8 on
    EXPECT_EQ(setRate(9600), 1);
    const auto accesses = sim.registerAccesses();
    ASSERT_EQ(accesses.size(), 27u);
    EXPECT_EQ(accesses[8], write32(kUtcr3, 0x124));   // only RIE, TIE, RXE, TXE went off
    EXPECT_EQ(accesses[16], write32(kUtcr3, 0x127));  // RXE and TXE back first
    EXPECT_EQ(sim.register32(kUtcr3), 0x0000013Fu);
}

struct Sa1110Case {
    jint rate;
    uint32_t divisor;
};

class Sa1110Divisor : public BaudRateOverride, public ::testing::WithParamInterface<Sa1110Case> {};

TEST_P(Sa1110Divisor, WritesOnlyTheDivisorBits) {
    onSa1110();
    sim.setRegister32(kUtcr1, 0xFFFFFFFF);
    sim.setRegister32(kUtcr2, 0xFFFFFFFF);
    sim.setRegister32(kUtcr3, 0x0000001B);
    EXPECT_EQ(setRate(GetParam().rate), 1);
    EXPECT_EQ(sim.register32(kUtcr1), 0xFFFFFFF0 | GetParam().divisor >> 8);
    EXPECT_EQ(sim.register32(kUtcr2), 0xFFFFFF00 | (GetParam().divisor & 0xFF));
    EXPECT_EQ(sim.register32(kUtcr3), 0x0000001Bu);
}

INSTANTIATE_TEST_SUITE_P(Rates, Sa1110Divisor,
                         ::testing::Values(Sa1110Case{115200, 1}, Sa1110Case{9600, 23}, Sa1110Case{31250, 7},
                                           Sa1110Case{57, 4042}, Sa1110Case{216847, 1}),
                         [](const auto& info) { return "Rate" + std::to_string(info.param.rate); });

TEST_F(BaudRateOverride, PxaSequenceFor921600) {
    onPxa();
    sim.setRegister8(kLcr, 0x03);
    EXPECT_EQ(setRate(921600), 1);
    const std::vector<RegisterAccess> expected = {
        read8(kLcr, 0x03), write8(kLcr, 0x83), write8(kDll, 0x01), write8(kDlh, 0x00), write8(kLcr, 0x03),
    };
    EXPECT_EQ(sim.registerAccesses(), expected);
}

TEST_F(BaudRateOverride, PxaDivisorsAndDlabKeptAsItWas) {
    onPxa();
    sim.setRegister8(kLcr, 0x83);
    EXPECT_EQ(setRate(300), 1);
    const std::vector<RegisterAccess> expected = {
        read8(kLcr, 0x83), write8(kLcr, 0x83), write8(kDll, 0x00), write8(kDlh, 0x0C), write8(kLcr, 0x83),
    };
    EXPECT_EQ(sim.registerAccesses(), expected);

    sim.setRegister8(kLcr, 0x1B);
    EXPECT_EQ(setRate(250000), 1);
    EXPECT_EQ(sim.register8(kDll), 3);
    EXPECT_EQ(sim.register8(kDlh), 0);
    EXPECT_EQ(sim.register8(kLcr), 0x1B);
    EXPECT_EQ(setRate(15), 1);  // the slowest rate whose divisor fits 16 bits
    EXPECT_EQ(sim.register8(kDll) | sim.register8(kDlh) << 8, 61440);
}

struct RefusedCase {
    bool pxa;
    jint rate;
};

class RefusedRate : public BaudRateOverride, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedRate, RaisesWithRegistersUntouched) {
    GetParam().pxa ? onPxa() : onSa1110();
    EXPECT_EQ(setRate(GetParam().rate), 0);
    EXPECT_EQ(pendingMessage(), kRateRefused);
    EXPECT_TRUE(sim.registerAccesses().empty());
    EXPECT_EQ(sim.mappings().size(), 1u);
    expectMappingsReleased();
    EXPECT_EQ(jni.deletedRefs().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rates, RefusedRate,
                         ::testing::Values(RefusedCase{false, 0}, RefusedCase{false, -9600},
                                           RefusedCase{false, INT_MIN}, RefusedCase{false, 230400},
                                           RefusedCase{false, 216848}, RefusedCase{false, 3686400},
                                           RefusedCase{false, 3686401}, RefusedCase{false, INT_MAX},
                                           RefusedCase{false, 56}, RefusedCase{false, 1},
                                           RefusedCase{true, 0}, RefusedCase{true, -1},
                                           RefusedCase{true, 921601}, RefusedCase{true, INT_MAX},
                                           RefusedCase{true, 14}, RefusedCase{true, 1}),
                         [](const auto& info) {
                             const jint rate = info.param.rate;
                             return std::string(info.param.pxa ? "Pxa" : "Sa1110") +
                                    (rate < 0 ? "Minus" : "") +
                                    std::to_string(rate < 0 ? -(int64_t)rate : rate);
                         });

TEST_F(BaudRateOverride, MapsTheUartBlockOfEachProcessor) {
    onSa1110();
    setRate(9600);
    onPxa();
    setRate(9600);
    const auto translations = sim.translations();
    ASSERT_EQ(translations.size(), 2u);
    for (const auto& t : translations) {
        EXPECT_EQ(t.interfaceType, Internal);
        EXPECT_EQ(t.busNumber, 0u);
        EXPECT_EQ(t.addressSpaceOnEntry, 1u);
        EXPECT_EQ(t.translatedOnEntry, t.busAddress);
    }
    EXPECT_EQ(translations[0].busAddress, 0x80050000);
    EXPECT_EQ(translations[1].busAddress, 0x40100000);
    const auto mappings = sim.mappings();
    ASSERT_EQ(mappings.size(), 2u);
    EXPECT_EQ(mappings[0].physical, 0x80050000);
    EXPECT_EQ(mappings[0].length, 16u);
    EXPECT_EQ(mappings[1].physical, 0x40100000);
    EXPECT_EQ(mappings[1].length, 32u);
    EXPECT_EQ(mappings[0].cacheEnable, FALSE);
}

TEST_F(BaudRateOverride, EachCallMapsAnewAndUnmaps) {
    onSa1110();
    EXPECT_EQ(setRate(9600), 1);
    EXPECT_EQ(setRate(19200), 1);
    EXPECT_EQ(sim.translations().size(), 2u);
    EXPECT_EQ(sim.mappings().size(), 2u);
    expectMappingsReleased();
}

TEST_F(BaudRateOverride, DirectlyUsableAddressIsNeitherMappedNorUnmapped) {
    onPxa();
    sim.translateToDirectAddress();
    EXPECT_EQ(setRate(921600), 1);
    EXPECT_TRUE(sim.mappings().empty());
    EXPECT_TRUE(sim.unmappings().empty());
    EXPECT_EQ(sim.register8(kDll), 1);
}

TEST_F(BaudRateOverride, RefusedTranslationOrMappingRaisesFromInitializeRegisters) {
    onSa1110();
    sim.refuseTranslation();
    EXPECT_EQ(setRate(9600), 0);
    EXPECT_EQ(pendingMessage(), kBlockRefused);
    EXPECT_TRUE(sim.mappings().empty());

    FakeJni second;
    second.knownClasses.insert(kException);
    SimSystem other;
    other.setProcessor(u"", u"PXA270");
    other.refuseMapping();
    EXPECT_EQ(SetNonStandardBaudRate(second.env(), 9600), 0);
    ASSERT_TRUE(second.pendingException());
    EXPECT_EQ(second.pendingException()->message, kBlockRefused);
    EXPECT_EQ(other.mappings().size(), 1u);
    EXPECT_TRUE(other.unmappings().empty());
    EXPECT_TRUE(other.registerAccesses().empty());
}

// Leaves bytes other than 0 where the next call at this depth keeps its
// locals, so that a query buffer nobody zeroed shows.
__attribute__((noinline)) void scribbleOnTheStack() {
    volatile unsigned char scribble[4096];
    for (auto& byte : scribble) byte = 0xA5;
}

__attribute__((noinline)) ProcessorFamily detectOnScribbledStack() {
    scribbleOnTheStack();
    return DetectProcessorFamily();
}

// One query: IOCTL_PROCESSOR_INFORMATION, no input, a zero-filled 576-byte
// PROCESSOR_INFO and a place for the byte count; a failed one reads as
// empty names.
TEST_F(BaudRateOverride, ProcessorQueryArguments) {
    wince::sim::reset();
    sim.setProcessor(u"PXA255", u"");
    sim.failProcessorQuery(ERROR_NOT_SUPPORTED);
    EXPECT_EQ(detectOnScribbledStack(), kUnknownProcessor);
    const wince::sim::KernelIoControlRecord designed{0x01010064, false, 0, true, 576, true, true};
    EXPECT_EQ(wince::sim::kernelIoControlCalls(), std::vector<wince::sim::KernelIoControlRecord>{designed});
}

TEST_F(BaudRateOverride, ProcessorDetection) {
    sim.setProcessor(u"PXA255", u"SA1110");  // SA1110 anywhere wins
    EXPECT_EQ(DetectProcessorFamily(), kSa1110);
    sim.setProcessor(u"SA1110", u"PXA");
    EXPECT_EQ(DetectProcessorFamily(), kSa1110);
    sim.setProcessor(u"Intel XScale", u"ARM PXA270");
    EXPECT_EQ(DetectProcessorFamily(), kPxa);
    sim.setProcessor(u"pxa255", u"sa1110");  // the names are case-sensitive
    EXPECT_EQ(DetectProcessorFamily(), kUnknownProcessor);
    sim.setProcessor(u"PXA255", u"");
    sim.failProcessorQuery(ERROR_NOT_SUPPORTED);  // a failed query reads as empty names
    EXPECT_EQ(DetectProcessorFamily(), kUnknownProcessor);
}

TEST_F(BaudRateOverride, OtherProcessorReturnsMinusOneWithNothingMapped) {
    sim.setProcessor(u"Intel(R) Xeon(R)", u"x86_64");
    EXPECT_EQ(setRate(9600), -1);
    EXPECT_TRUE(sim.translations().empty());
    EXPECT_FALSE(jni.pendingException());
    EXPECT_EQ(jni.calls("FindClass"), 0);
}

TEST_F(BaudRateOverride, AccessViolationOnSa1110LeavesWhatWasWritten) {
    onSa1110();
    sim.placeAcrossInaccessiblePage(8);  // UTCR0 and UTCR1 out of reach
    sim.setRegister32(kUtcr3, 0x1B);
    EXPECT_EQ(setRate(9600), 0);
    EXPECT_EQ(pendingMessage(), kRateRefused);
    EXPECT_EQ(sim.registerAccesses().size(), 9u);  // UTCR3 saved and cleared, then the fault
    EXPECT_EQ(sim.register32(kUtcr3), 0u);         // receiver, transmitter, interrupts left off
    expectMappingsReleased();
}

TEST_F(BaudRateOverride, AccessViolationOnPxaLeavesDlabSet) {
    onPxa();
    sim.placeAcrossInaccessiblePage(4);  // DLL out of reach
    sim.setRegister8(kLcr, 0x03);
    EXPECT_EQ(setRate(9600), 0);
    EXPECT_EQ(pendingMessage(), kRateRefused);
    const std::vector<RegisterAccess> expected = {read8(kLcr, 0x03), write8(kLcr, 0x83)};
    EXPECT_EQ(sim.registerAccesses(), expected);
    EXPECT_EQ(sim.register8(kLcr), 0x83);
}

TEST_F(BaudRateOverride, GuardRecoversForTheNextCall) {
    onPxa();
    sim.placeAcrossInaccessiblePage(SimSystem::kBlockSize);
    EXPECT_EQ(setRate(9600), 0);
    EXPECT_TRUE(sim.registerAccesses().empty());

    FakeJni again;
    SimSystem healthy;
    healthy.setProcessor(u"PXA255", u"");
    EXPECT_EQ(SetNonStandardBaudRate(again.env(), 9600), 1);
    EXPECT_EQ(healthy.register8(kDll), 96);
}

TEST_F(BaudRateOverride, MissingExceptionClassLeavesNothingPending) {
    FakeJni bare;  // the exception class is not on the class path
    onPxa();
    EXPECT_EQ(SetNonStandardBaudRate(bare.env(), 921601), 0);
    EXPECT_FALSE(bare.pendingException());
    ASSERT_EQ(bare.described().size(), 1u);
    EXPECT_EQ(bare.described()[0].className, "java/lang/NoClassDefFoundError");
    EXPECT_EQ(bare.calls("ExceptionClear"), 1);
    EXPECT_EQ(bare.calls("ThrowNew"), 0);
}

TEST_F(BaudRateOverride, LongMessageIsCutAndNonAsciiNarrowedSafely) {
    // Far longer than the 500-unit message buffer, with a unit outside ASCII
    // inside what is kept.
    std::u16string text = u" \u00e9";
    text.append(2000, u'x');
    ThrowJavaException(jni.env(), kException, u"nativeSetBaudBase", text.c_str());
    const std::string expectedStart = std::string(kException) + ":  ?";
    const std::string message = pendingMessage();
    ASSERT_EQ(message.size(), 499u);
    EXPECT_EQ(message.substr(0, expectedStart.size()), expectedStart);
    EXPECT_EQ(message.find_first_not_of('x', expectedStart.size()), std::string::npos);
    EXPECT_EQ(jni.deletedRefs().size(), 1u);
}

}  // namespace
