#ifndef PELKO_FUZZ_SUPPORT_H
#define PELKO_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

// Ends the run with a message when an invariant breaks; libFuzzer keeps the input.
#define FUZZ_CHECK(cond, what)                                                                                  \
    do {                                                                                                        \
        if (!(cond)) {                                                                                          \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, std::string(what).c_str()); \
            std::abort();                                                                                       \
        }                                                                                                       \
    } while (0)

// The gateway's console lines would bury the fuzzer's report at thousands of runs a second.
inline const bool quietConsole = (std::cout.rdbuf(nullptr), std::cerr.rdbuf(nullptr), true);

// Reads the fuzz input front to back; past its end every byte reads as 0.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), end_(data + size) {}
    uint8_t byte() { return data_ < end_ ? *data_++ : 0; }
    uint16_t u16() {
        const uint16_t high = byte();
        return static_cast<uint16_t>(high << 8 | byte());
    }
    // Everything not read yet, in a buffer of exactly that size.
    std::vector<uint8_t> rest() { return std::vector<uint8_t>(data_, data_ < end_ ? end_ : data_); }

private:
    const uint8_t* data_;
    const uint8_t* end_;
};

#endif
