// recognizeKELT3B against the recogniser contract: 12-byte frames that
// begin 0x5A 0xA5.
#include "recognizer_contract.h"
#include "recognizers.h"

namespace {

bool isKelt3bFrame(const PortSlot&, std::span<const uint8_t> frame) {
    return frame.size() == 12 && frame[0] == 0x5A && frame[1] == 0xA5;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkRecognizerContract(recognizeKELT3B, isKelt3bFrame, data, size);
    return 0;
}
