// Forcing a baud rate that the platform's serial driver does not offer, by
// writing the divisor straight into the UART of an SA-1110 (UART 3) or a
// PXA (FFUART). Failures reach Java as
// "javax/comm/UnsupportedCommOperationException".
#pragma once

#include <jni.h>

#include <cstdint>

#include "wince.h"

// Which UART this processor has: kSa1110, kPxa, or kUnknownProcessor, the
// value the native then hands Java.
typedef int32_t ProcessorFamily;
constexpr ProcessorFamily kSa1110 = 0;
constexpr ProcessorFamily kPxa = 1;
constexpr ProcessorFamily kUnknownProcessor = -1;

// From the kernel's processor information; "SA1110" wins over "PXA".
ProcessorFamily DetectProcessorFamily();

// A register block reachable for one call at `base()` (0: not reachable).
// When MmMapIoSpace had to map it, dropping it unmaps it.
class RegisterBlock {
public:
    RegisterBlock() = default;
    RegisterBlock(uintptr_t base, ULONG length, bool mapped)
        : base_(base), length_(length), mapped_(mapped) {}
    RegisterBlock(RegisterBlock&& other) noexcept;
    RegisterBlock& operator=(RegisterBlock&& other) noexcept;
    ~RegisterBlock();

    uintptr_t base() const { return base_; }

private:
    void release();

    uintptr_t base_ = 0;
    ULONG length_ = 0;
    bool mapped_ = false;
};

RegisterBlock MapRegisterBlock(INTERFACE_TYPE interfaceType, ULONG physical, ULONG length);

// What both register windows share: the mapped register block.
class UartWindow {
protected:
    // Maps the block; false when it cannot be reached.
    bool mapRegisters(ULONG physicalBase, ULONG length);
    uintptr_t mappedBase() const { return mapped_.base(); }

private:
    RegisterBlock mapped_;
};

// UART 3 of the SA-1110: four 32-bit control registers.
class Sa1110UartWindow : public UartWindow {
public:
    bool InitializeRegisters();
    // False, with no register touched, for a rate the 12-bit divisor cannot
    // express; false as soon as a register access faults.
    bool nativeSetBaudBase(jint rate);

private:
    volatile ULONG* registers_ = nullptr;
};

// The PXA's FFUART: eight byte-wide registers, 4 bytes apart.
class PxaUartWindow : public UartWindow {
public:
    bool InitializeRegisters();
    // As on the SA-1110, for the 16-bit divisor.
    bool nativeSetBaudBase(jint rate);

private:
    static constexpr int kRegisterCount = 8;
    volatile UCHAR* registers_[kRegisterCount] = {};
};

// Raises `className` with "<class>: <message> in <label>". When the class
// cannot be found the VM's error is described and cleared: nothing is left
// pending. The message is cut at 499 characters; it allocates nothing.
void ThrowJavaException(JNIEnv* env, const char* className, const WCHAR* methodLabel,
                        const WCHAR* messageText);

// 1 when the divisor was written; kUnknownProcessor on another processor;
// 0 with the exception raised when the block or the rate is refused.
jint SetNonStandardBaudRate(JNIEnv* env, jint rate);
