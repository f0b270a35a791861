// Which device services the Win32 calls use: the host's, or a test's.
#include "system_services.h"

#include <atomic>

#include "seams.h"

namespace wince {
namespace {

// Constant-initialized, so it is usable from the load hook, whatever order
// the library's initializers run in.
std::atomic<SystemServices*> installed{nullptr};

SystemServices& hostServices() {
    // Never destroyed: the unload hook may use it after static destructors ran.
    static SystemServices* const host = new SystemServices;
    return *host;
}

}  // namespace

SystemServices& systemServices() {
    SystemServices* services = installed.load(std::memory_order_acquire);
    return services ? *services : hostServices();
}

void setSystemServices(SystemServices* services) { installed.store(services, std::memory_order_release); }

}  // namespace wince
