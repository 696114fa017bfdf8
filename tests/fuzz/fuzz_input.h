// Reads a fuzzer's bytes as a stream of small decisions. Running out of bytes
// yields zeros, so every input, however short, is a complete case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), left_(size) {}

    uint8_t Byte()
    {
        if (left_ == 0) {
            return 0;
        }
        --left_;
        return *data_++;
    }
    // A value in [0, n), n at most 65536.
    uint32_t Below(uint32_t n)
    {
        uint32_t v = Byte();
        v = (v << 8) | Byte();
        return n == 0 ? 0 : v % n;
    }
    uint64_t Word()
    {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v = (v << 8) | Byte();
        }
        return v;
    }
    bool Flag() { return (Byte() & 1) != 0; }
    // Up to max bytes, stopping early at a byte equal to stop.
    std::string Text(size_t max, int stop = -1)
    {
        std::string s;
        while (s.size() < max && left_ > 0) {
            uint8_t b = Byte();
            if (b == stop) {
                break;
            }
            s += static_cast<char>(b);
        }
        return s;
    }
    size_t Left() const { return left_; }

private:
    const uint8_t *data_;
    size_t left_;
};
