// Little-endian loads from raw disk bytes. Every structure read from a device may lie at any
// alignment, so fields are copied out rather than read through casted pointers.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t LoadU16(const unsigned char* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint32_t LoadU32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint64_t LoadU64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
