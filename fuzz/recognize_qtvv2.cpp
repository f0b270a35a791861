// recognizeQTVv2 against the recogniser contract: 0x80 0xF0 0x10 N, N
// bytes and an additive checksum; the reply code and length some commands
// require; a 5-byte frame only once a byte follows it.
#include <cstdint>

#include "recognizer_contract.h"
#include "recognizers.h"

namespace {

bool checksumHolds(std::span<const uint8_t> frame) {
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    return sum == frame.back();
}

struct Rule {
    uint8_t command;
    uint8_t reply;
    int64_t perDataByte;  // 0: no length requirement
    int64_t overhead;
};
constexpr Rule kRules[] = {
    {0xBF, 0xFF, 0, 0}, {0xA8, 0xE8, 3, 7}, {0xB8, 0xF8, 4, 6}, {0xA0, 0xE0, 0, 0}, {0xB0, 0xF0, 0, 0},
};

bool answersTheCommand(const PortSlot& slot, std::span<const uint8_t> frame) {
    for (const Rule& rule : kRules) {
        if (rule.command != slot.txBuffer[4]) continue;
        if (frame[4] != rule.reply) return false;
        const int64_t dataBytes = static_cast<int64_t>(frame.size()) - 6;
        return rule.perDataByte == 0 ||
               rule.perDataByte * dataBytes == int64_t{slot.txLength} - rule.overhead;
    }
    return true;
}

bool isQtvv2Frame(const PortSlot& slot, std::span<const uint8_t> frame) {
    if (frame.size() < 5 || frame[0] != 0x80 || frame[1] != 0xF0 || frame[2] != 0x10) return false;
    if (frame.size() != frame[3] + 5u || !checksumHolds(frame)) return false;
    // A header is only read once six bytes are there.
    if (frame.size() == 5 && slot.rxCount < 1) return false;
    return answersTheCommand(slot, frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkRecognizerContract(recognizeQTVv2, isQtvv2Frame, data, size);
    return 0;
}
