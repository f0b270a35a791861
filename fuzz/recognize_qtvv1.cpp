// recognizeQTVv1 against the recogniser contract: the command's first byte
// decides the reply (c1 c2 and c3 + 3 bytes in all after 0x78; exactly
// c1 c2 c3 after 0xAA; any three bytes after 0x00 0x80 0x00 0x00; nothing
// after any other command).
#include <algorithm>

#include "recognizer_contract.h"
#include "recognizers.h"

namespace {

bool isQtvv1Frame(const PortSlot& slot, std::span<const uint8_t> frame) {
    const uint8_t* c = slot.txBuffer;
    switch (c[0]) {
        case 0x78: return frame.size() == c[3] + 3u && frame[0] == c[1] && frame[1] == c[2];
        case 0xAA: return frame.size() == 3 && std::equal(frame.begin(), frame.end(), c + 1);
        case 0x00: return c[1] == 0x80 && c[2] == 0x00 && c[3] == 0x00 && frame.size() == 3;
        default: return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkRecognizerContract(recognizeQTVv1, isQtvv1Frame, data, size);
    return 0;
}
