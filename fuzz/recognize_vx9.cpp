// recognizeVX9 against the recogniser contract: 13-byte frames that begin
// 0x00 0x01 0x02.
#include "recognizer_contract.h"
#include "recognizers.h"

namespace {

bool isVx9Frame(const PortSlot&, std::span<const uint8_t> frame) {
    return frame.size() == 13 && frame[0] == 0x00 && frame[1] == 0x01 && frame[2] == 0x02;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkRecognizerContract(recognizeVX9, isVx9Frame, data, size);
    return 0;
}
