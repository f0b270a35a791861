// The UART baud-rate override: processor detection, the two register
// windows with their guarded register sequences, and the Java exception.
#include "uart_override.h"

#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

const char kExceptionClass[] = "javax/comm/UnsupportedCommOperationException";

// SA-1110 UART 3: 3686400 / (16 x (divisor + 1)) baud, 12-bit divisor.
constexpr ULONG kSa1110UartPhysical = 0x80050000;
constexpr ULONG kSa1110UartLength = 16;
constexpr uint32_t kSa1110UartClock = 3686400;
constexpr uint32_t kSa1110MaxDivisor = 0xFFF;
constexpr int kUtcr1 = 1;
constexpr int kUtcr2 = 2;
constexpr int kUtcr3 = 3;
// UTCR3 bits.
constexpr ULONG kRxe = 1u << 0;
constexpr ULONG kTxe = 1u << 1;
constexpr ULONG kBrk = 1u << 2;
constexpr ULONG kRie = 1u << 3;
constexpr ULONG kTie = 1u << 4;
constexpr ULONG kLbm = 1u << 5;
constexpr ULONG kUtcr3ControlBits = 0x3F;

// PXA FFUART: 14745600 / (16 x divisor) baud, 16-bit divisor.
constexpr ULONG kPxaUartPhysical = 0x40100000;
constexpr ULONG kPxaUartLength = 32;
constexpr uint32_t kPxaUartClock = 14745600;
constexpr uint32_t kPxaMaxDivisor = 0xFFFF;
constexpr int kDll = 0;
constexpr int kDlh = 1;
constexpr int kLcr = 3;
constexpr UCHAR kDlab = 0x80;

// 0 for a rate the UART cannot run at: 0 or below, a divisor of 0, or a
// divisor too wide for its register (the subtraction would wrap, or the
// divisor be cut short).
uint16_t sa1110Divisor(jint rate) {
    if (rate <= 0 || static_cast<uint32_t>(rate) > kSa1110UartClock) return 0;
    const uint32_t divisor = (kSa1110UartClock / static_cast<uint32_t>(rate) - 1) >> 4;
    return divisor <= kSa1110MaxDivisor ? static_cast<uint16_t>(divisor) : 0;
}

uint16_t pxaDivisor(jint rate) {
    if (rate <= 0) return 0;
    const uint32_t divisor = (kPxaUartClock / static_cast<uint32_t>(rate)) >> 4;
    return divisor <= kPxaMaxDivisor ? static_cast<uint16_t>(divisor) : 0;
}

void replaceBits(volatile ULONG* reg, ULONG mask, ULONG bits) {
    WRITE_REGISTER_ULONG(reg, (READ_REGISTER_ULONG(reg) & ~mask) | (bits & mask));
}

struct Sa1110DivisorWrite {
    volatile ULONG* registers;
    uint16_t divisor;
};

// Receiver, transmitter and their interrupts go off while the divisor
// changes, then every UTCR3 bit comes back one at a time as it was.
void writeSa1110Divisor(void* context) {
    const auto& job = *static_cast<const Sa1110DivisorWrite*>(context);
    volatile ULONG* utcr3 = job.registers + kUtcr3;
    const ULONG saved = READ_REGISTER_ULONG(utcr3);
    for (ULONG bit : {kRie, kTie, kRxe, kTxe}) replaceBits(utcr3, bit, 0);
    replaceBits(job.registers + kUtcr1, 0x0F, job.divisor >> 8);
    replaceBits(job.registers + kUtcr2, 0xFF, job.divisor);
    for (ULONG bit : {kRxe, kTxe, kBrk, kRie, kTie, kLbm}) replaceBits(utcr3, bit, saved);
    replaceBits(utcr3, ~kUtcr3ControlBits, saved);
}

struct PxaDivisorWrite {
    volatile UCHAR* const* registers;
    uint16_t divisor;
};

// DLAB opens the divisor latch for the two writes only.
void writePxaDivisor(void* context) {
    const auto& job = *static_cast<const PxaDivisorWrite*>(context);
    const UCHAR saved = READ_REGISTER_UCHAR(job.registers[kLcr]);
    WRITE_REGISTER_UCHAR(job.registers[kLcr], saved | kDlab);
    WRITE_REGISTER_UCHAR(job.registers[kDll], static_cast<UCHAR>(job.divisor & 0xFF));
    WRITE_REGISTER_UCHAR(job.registers[kDlh], static_cast<UCHAR>(job.divisor >> 8));
    WRITE_REGISTER_UCHAR(job.registers[kLcr], saved);
}

// The structured exception filter: an access violation fails the step.
bool runRegisterSequence(PGUARDED_ROUTINE sequence, void* job) {
    return RunGuarded(sequence, job) != EXCEPTION_ACCESS_VIOLATION;
}

// The units of a fixed-size name field up to its terminator.
template <size_t N>
std::basic_string_view<WCHAR> fieldText(const WCHAR (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != 0) ++length;
    return {field, length};
}

bool reports(const PROCESSOR_INFO& info, std::basic_string_view<WCHAR> name) {
    return fieldText(info.szProcessorName).find(name) != std::basic_string_view<WCHAR>::npos ||
           fieldText(info.szProcessCore).find(name) != std::basic_string_view<WCHAR>::npos;
}

template <class Window>
jint overrideBaudRate(JNIEnv* env, jint rate) {
    Window window;
    if (!window.InitializeRegisters()) {
        ThrowJavaException(env, kExceptionClass, TEXT("InitializeRegisters"),
                           TEXT(" Unsupported Non Standard Baud Rate"));
        return 0;
    }
    if (!window.nativeSetBaudBase(rate)) {
        ThrowJavaException(env, kExceptionClass, TEXT("nativeSetBaudBase"), TEXT(" Unsupported Baud Rate"));
        return 0;
    }
    return 1;
}

constexpr size_t kMessageUnits = 500;

// "%S: %s in %s" into `out`, cut to its size; the units written.
size_t composeMessage(WCHAR (&out)[kMessageUnits], const char* className, const WCHAR* messageText,
                      const WCHAR* methodLabel) {
    size_t n = 0;
    auto put = [&](WCHAR unit) {
        if (n + 1 < kMessageUnits) out[n++] = unit;
    };
    auto append = [&](std::basic_string_view<WCHAR> part) {
        for (WCHAR unit : part) put(unit);
    };
    for (const char* c = className; *c != 0; ++c) put(static_cast<unsigned char>(*c));
    append(TEXT(": "));
    append(messageText);
    append(TEXT(" in "));
    append(methodLabel);
    out[n] = 0;
    return n;
}

// The single-byte form of a message, at most `limit` bytes: its text is
// ASCII; anything else becomes '?'.
void narrowInto(char* out, const WCHAR* text, size_t limit) {
    size_t i = 0;
    for (; i < limit && text[i] != 0; ++i) out[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    out[i] = 0;
}

}  // namespace

ProcessorFamily DetectProcessorFamily() {
    PROCESSOR_INFO info;
    std::memset(&info, 0, sizeof info);
    DWORD returned = 0;
    KernelIoControl(IOCTL_PROCESSOR_INFORMATION, nullptr, 0, &info, sizeof info, &returned);
    if (reports(info, TEXT("SA1110"))) return kSa1110;
    if (reports(info, TEXT("PXA"))) return kPxa;
    return kUnknownProcessor;
}

RegisterBlock::RegisterBlock(RegisterBlock&& other) noexcept
    : base_(other.base_), length_(other.length_), mapped_(other.mapped_) {
    other.base_ = 0;
    other.mapped_ = false;
}

RegisterBlock& RegisterBlock::operator=(RegisterBlock&& other) noexcept {
    if (this != &other) {
        release();
        base_ = other.base_;
        length_ = other.length_;
        mapped_ = other.mapped_;
        other.base_ = 0;
        other.mapped_ = false;
    }
    return *this;
}

RegisterBlock::~RegisterBlock() { release(); }

void RegisterBlock::release() {
    if (mapped_) MmUnmapIoSpace(reinterpret_cast<void*>(base_), length_);
    base_ = 0;
    mapped_ = false;
}

// A block that needs no mapping is used at its translated address (pointer
// wide: the low 32 bits on the platform).
RegisterBlock MapRegisterBlock(INTERFACE_TYPE interfaceType, ULONG physical, ULONG length) {
    ULONG addressSpace = 1;
    PHYSICAL_ADDRESS bus;
    bus.QuadPart = physical;
    PHYSICAL_ADDRESS translated = bus;
    if (!HalTranslateBusAddress(interfaceType, 0, bus, &addressSpace, &translated)) return {};
    if (addressSpace != 0) return RegisterBlock(static_cast<uintptr_t>(translated.QuadPart), length, false);
    void* mapped = MmMapIoSpace(translated, length, FALSE);
    if (mapped == nullptr) return {};
    return RegisterBlock(reinterpret_cast<uintptr_t>(mapped), length, true);
}

bool UartWindow::mapRegisters(ULONG physicalBase, ULONG length) {
    mapped_ = MapRegisterBlock(Internal, physicalBase, length);
    return mapped_.base() != 0;
}

bool Sa1110UartWindow::InitializeRegisters() {
    if (!mapRegisters(kSa1110UartPhysical, kSa1110UartLength)) return false;
    registers_ = reinterpret_cast<volatile ULONG*>(mappedBase());
    return true;
}

bool Sa1110UartWindow::nativeSetBaudBase(jint rate) {
    if (mappedBase() == 0) return false;
    Sa1110DivisorWrite job{registers_, sa1110Divisor(rate)};
    if (job.divisor == 0) return false;
    return runRegisterSequence(writeSa1110Divisor, &job);
}

bool PxaUartWindow::InitializeRegisters() {
    if (!mapRegisters(kPxaUartPhysical, kPxaUartLength)) return false;
    for (int i = 0; i < kRegisterCount; ++i)
        registers_[i] = reinterpret_cast<volatile UCHAR*>(mappedBase() + 4 * i);
    return true;
}

bool PxaUartWindow::nativeSetBaudBase(jint rate) {
    if (mappedBase() == 0) return false;
    PxaDivisorWrite job{registers_, pxaDivisor(rate)};
    if (job.divisor == 0) return false;
    return runRegisterSequence(writePxaDivisor, &job);
}

void ThrowJavaException(JNIEnv* env, const char* className, const WCHAR* methodLabel,
                        const WCHAR* messageText) {
    jclass cls = env->FindClass(className);
    if (cls == nullptr) {
        env->ExceptionDescribe();
        env->ExceptionClear();
        return;
    }
    WCHAR composed[kMessageUnits];
    const size_t n = composeMessage(composed, className, messageText, methodLabel);
    // One byte a unit, and the composed text is already cut to fit.
    char text[kMessageUnits];
    narrowInto(text, composed, n);
    env->ThrowNew(cls, text);
    env->DeleteLocalRef(cls);
}

jint SetNonStandardBaudRate(JNIEnv* env, jint rate) {
    switch (DetectProcessorFamily()) {
        case kSa1110: return overrideBaudRate<Sa1110UartWindow>(env, rate);
        case kPxa: return overrideBaudRate<PxaUartWindow>(env, rate);
        default: return kUnknownProcessor;
    }
}
