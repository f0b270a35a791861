// The device services behind the kernel, clock, sound, volume, idle-timer,
// bus-mapping and register calls. The Win32 calls check their arguments and
// hand the work to the current services: the host's own (each defined in the
// file of its concern), or replacements installed through seams.h.
#pragma once

#include "wince.h"

namespace wince {

class SystemServices {
public:
    virtual ~SystemServices() = default;

    // Performance counter (clock.cpp).
    virtual BOOL performanceFrequency(LONGLONG& ticksPerSecond);
    virtual BOOL performanceCounter(LONGLONG& ticks);

    // Kernel (kernel_io.cpp). Each returns FALSE with the last error set.
    virtual BOOL reboot();
    virtual BOOL processorInformation(PROCESSOR_INFO& info);
    virtual void resetIdleTimer();

    // Sound (sound.cpp): a zero-terminated file name, or null to stop the
    // sound playing asynchronously; the flags as PlaySoundW gets them.
    virtual BOOL playSound(LPCWSTR fileName, HMODULE module, DWORD flags);

    // Wave volume of device 0 (volume.cpp).
    virtual MMRESULT getVolume(DWORD& volume);
    virtual MMRESULT setVolume(DWORD volume);

    // Bus mapping (bus_mapping.cpp), as the driver-development library's
    // functions of the same names.
    virtual BOOL translateBusAddress(INTERFACE_TYPE interfaceType, ULONG busNumber,
                                     PHYSICAL_ADDRESS busAddress, ULONG& addressSpace,
                                     PHYSICAL_ADDRESS& translated);
    virtual void* mapIoSpace(PHYSICAL_ADDRESS physical, ULONG length, BOOLEAN cacheEnable);
    virtual void unmapIoSpace(void* base, ULONG length);

    // Register access (bus_mapping.cpp): one access of that width each. May
    // run in a guarded region: an access violation leaves them at once.
    virtual ULONG readRegister32(volatile ULONG* address);
    virtual void writeRegister32(volatile ULONG* address, ULONG value);
    virtual UCHAR readRegister8(volatile UCHAR* address);
    virtual void writeRegister8(volatile UCHAR* address, UCHAR value);
};

// The services the calls use now.
SystemServices& systemServices();

}  // namespace wince
