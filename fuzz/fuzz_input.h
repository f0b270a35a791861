// Reading a fuzz input field by field, and stopping on a broken contract.
// Fields are little-endian; an input that ends early reads as zeros, so
// every input, however short, describes one case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), left_(size) {}

    uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *data_++;
    }
    uint16_t uint16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t uint32() {
        uint32_t value = 0;
        for (int shift = 0; shift < 32; shift += 8) value |= uint32_t{byte()} << shift;
        return value;
    }
    int32_t int32() { return static_cast<int32_t>(uint32()); }

    // Up to `count` bytes; fewer when the input ends first.
    std::span<const uint8_t> bytes(size_t count) {
        const size_t taken = count < left_ ? count : left_;
        std::span<const uint8_t> field(data_, taken);
        data_ += taken;
        left_ -= taken;
        return field;
    }
    std::span<const uint8_t> rest() { return bytes(left_); }
    bool empty() const { return left_ == 0; }

private:
    const uint8_t* data_;
    size_t left_;
};

// A broken contract is a crash for libFuzzer: it keeps the input.
#define FUZZ_REQUIRE(condition, what)                                                         \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "contract broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)
