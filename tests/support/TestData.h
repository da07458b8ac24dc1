#pragma once
// Data the tests hand to the component and read back: recognisable byte runs, the 32-bit values of
// the host interface, and the conversions between byte strings and CData blocks.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "contract/Data.h"

namespace testsupport {

// Bytes from which a reordered, repeated, dropped or shifted piece shows at any length and offset,
// and runs of different seeds tell apart: xorshift32, whose state only comes back after 2^32 - 1
// steps (a counter-based formula repeats every 256 bytes or so). The multiplication spreads
// neighbouring seeds over the sequence; it is a bijection, so one seed alone would start at zero.
inline std::vector<unsigned char> Pattern(size_t ulLength, uint32_t ulSeed = 1) {
    uint32_t x = ulSeed * 2654435761u ^ 0x6D2B79F5u;
    if (x == 0) x = 0x9E3779B9u;
    std::vector<unsigned char> vec(ulLength);
    for (size_t i = 0; i < ulLength; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        vec[i] = static_cast<unsigned char>(x >> 24);
    }
    return vec;
}

// The seed of a randomised run: TALIUN_STRESS_SEED repeats one, otherwise a fresh one (the tests
// print it).
inline unsigned int Seed() {
    const char* psz = getenv("TALIUN_STRESS_SEED");
    return psz != nullptr ? static_cast<unsigned int>(strtoul(psz, nullptr, 0))
                          : static_cast<unsigned int>(std::random_device()());
}

inline std::vector<unsigned char> ToBytes(const std::string& s) {
    return std::vector<unsigned char>(s.begin(), s.end());
}

inline std::string Text(const std::vector<unsigned char>& vec) {
    return std::string(vec.begin(), vec.end());
}

inline std::vector<unsigned char> Concat(std::initializer_list<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> out;
    for (const std::vector<unsigned char>& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The pieces one after another, as a device records what several writes sent it.
inline std::vector<unsigned char> Joined(const std::vector<std::vector<unsigned char>>& vec) {
    std::vector<unsigned char> all;
    for (const std::vector<unsigned char>& v : vec) all.insert(all.end(), v.begin(), v.end());
    return all;
}

// A block holding exactly these bytes (no terminating zero).
inline CData ToData(const std::vector<unsigned char>& vec) {
    return CData(vec.data(), static_cast<unsigned int>(vec.size()));
}
inline CData ToData(const std::string& s) {
    return CData(reinterpret_cast<const unsigned char*>(s.data()),
                 static_cast<unsigned int>(s.size()));
}

inline std::vector<unsigned char> BytesOf(const CData& data) {
    return std::vector<unsigned char>(data.Buffer(), data.Buffer() + data.Length());
}

// The block of a 32-bit value, as the host passes codes, time-outs and flags.
inline CData Word(unsigned int ulValue) {
    return CData(reinterpret_cast<const unsigned char*>(&ulValue), sizeof(ulValue));
}

// The index-th 32-bit word of raw bytes, or 0 when the bytes end before it.
inline uint32_t WordAt(const std::vector<unsigned char>& raw, size_t ulIndex) {
    uint32_t ul = 0;
    if (raw.size() >= (ulIndex + 1) * 4) memcpy(&ul, raw.data() + ulIndex * 4, 4);
    return ul;
}

// "%d" of a handle, as the component prints it.
inline std::string HandleText(void* hPort) {
    return std::to_string(static_cast<int>(reinterpret_cast<intptr_t>(hPort)));
}

}  // namespace testsupport
