// Built only into the Morvane that the Java tests load from lib/simulated:
// the processor and the bus mapping are simulated, so a real VM can see
// SetNonStandardBaudRate write a divisor or raise its exception on a
// machine without such a UART. Every other service is the host's.
//   MORVANE_SIM_PROCESSOR  the processor name the kernel reports
//   MORVANE_SIM_BUS        "refuse": HalTranslateBusAddress refuses;
//                          otherwise the registers are ordinary memory
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "seams.h"

namespace {

class SimulatedUart : public wince::SystemServices {
public:
    BOOL processorInformation(PROCESSOR_INFO& info) override {
        const char* name = std::getenv("MORVANE_SIM_PROCESSOR");
        for (size_t i = 0; name && name[i] && i + 1 < std::size(info.szProcessorName); ++i)
            info.szProcessorName[i] = static_cast<unsigned char>(name[i]);
        return TRUE;
    }
    BOOL translateBusAddress(INTERFACE_TYPE, ULONG, PHYSICAL_ADDRESS busAddress, ULONG& addressSpace,
                             PHYSICAL_ADDRESS& translated) override {
        const char* bus = std::getenv("MORVANE_SIM_BUS");
        if (bus && std::strcmp(bus, "refuse") == 0) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        translated = busAddress;
        addressSpace = 0;
        return TRUE;
    }
    void* mapIoSpace(PHYSICAL_ADDRESS, ULONG, BOOLEAN) override { return registers_; }
    void unmapIoSpace(void*, ULONG) override {}

private:
    alignas(4) UCHAR registers_[32] = {};
};

__attribute__((constructor)) void installSimulatedUart() {
    static SimulatedUart* const services = new SimulatedUart;
    wince::setSystemServices(services);
}

}  // namespace
