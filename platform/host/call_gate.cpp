// The call gate's installation point (seams.h). Constant-initialized, so a
// call made from the load hook sees "none installed" whatever order the
// library's initializers run in.
#include "call_gate.h"

namespace wince {

std::atomic<CallGate*> detail::installedCallGate{nullptr};

void setCallGate(CallGate* gate) { detail::installedCallGate.store(gate, std::memory_order_release); }

}  // namespace wince
