// Shared pieces of the carving and store tests: whole-file reads and writes, a scan-log root in
// a temporary folder, a byte builder for hand-made headers, a device laid out in memory, and
// the measuring and carving of a file that starts a device.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "carving/sector_reader.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace carving_test {

constexpr int kSector = 512;

inline void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), {});
}

// Points the scan-log root at a temporary folder, with scan folder 1 in use, for the life of
// the object, so that stores and preview files never touch the real home.
class ScopedLogRoot {
public:
    ScopedLogRoot() {
        const char* old = std::getenv("XDG_DATA_HOME");
        old_ = old != nullptr ? old : "";
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        CLogFileManager::GetInstance()->Init();
        CLogFileManager::GetInstance()->AddDirIndex();
    }
    ~ScopedLogRoot() {
        old_.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", old_.c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    const std::string& path() const { return dir_.path(); }

private:
    ferrowen::test::TempDir dir_;
    std::string old_;
};

// Little byte builder for hand-made headers: little-endian unless named BE.
struct Bytes {
    std::vector<unsigned char> v;
    explicit Bytes(size_t n = 512) : v(n, 0) {}
    explicit Bytes(const std::vector<unsigned char>& bytes) : v(bytes) {}
    Bytes& Put(size_t at, const void* data, size_t n) {
        if (v.size() < at + n) v.resize(at + n);
        std::memcpy(v.data() + at, data, n);
        return *this;
    }
    Bytes& Text(size_t at, const char* text) { return Put(at, text, std::strlen(text)); }
    Bytes& U8(size_t at, uint8_t x) { return Put(at, &x, 1); }
    Bytes& U16(size_t at, uint16_t x) { return Put(at, &x, 2); }
    Bytes& U32(size_t at, uint32_t x) { return Put(at, &x, 4); }
    Bytes& U64(size_t at, uint64_t x) { return Put(at, &x, 8); }
    Bytes& BE16(size_t at, uint16_t x) { return U16(at, __builtin_bswap16(x)); }
    Bytes& BE32(size_t at, uint32_t x) { return U32(at, __builtin_bswap32(x)); }
    const unsigned char* data() const { return v.data(); }
    size_t size() const { return v.size(); }
};

inline Bytes JpegHead(size_t n = 16) {
    return Bytes(n).Put(0, "\xFF\xD8\xFF\xE0", 4).Text(6, "JFIF");
}
inline Bytes PeImage() {
    return Bytes().Text(0, "MZ").U32(60, 128).Text(128, "PE").U16(150, 0x0102);
}

// A device laid out byte by byte in memory, read through a memory sector reader.
struct Device {
    std::vector<unsigned char> bytes;
    CMemorySectorReader reader{nullptr, 0};
    carving::CarveScan scan;  // the scan that Type() walks with
    explicit Device(size_t sectors = 0) { Resize(sectors); }
    void Resize(size_t sectors) {
        bytes.assign(sectors * kSector, 0);
        reader = CMemorySectorReader(bytes.data(), bytes.size());
    }
    unsigned char* At(size_t offset) { return bytes.data() + offset; }
    unsigned char* Sector(size_t s) { return At(s * kSector); }
    void Put(size_t offset, const Bytes& b) {
        const size_t n = std::min(b.size(), bytes.size() - offset);
        if (n != 0) std::memcpy(At(offset), b.data(), n);
    }
    // Pseudo-random file data that no recogniser takes for a file start.
    void Noise(size_t from, size_t to) {
        uint32_t x = 12345;
        for (size_t i = from; i < to; ++i) {
            x = x * 1103515245 + 12345;
            bytes[i] = static_cast<unsigned char>((x >> 16) | 0x01);
        }
    }
    // The type the table walk gives sector s, with the judge's context pointed at it.
    uint32_t Type(size_t s, int checkTs = 1) {
        scan.SetReadContext(&reader, kSector, s);
        scan.m_bIsNeedCheckTsFileRange = checkTs;
        return CFileTypeJudge::GetDataBufType(scan, Sector(s), kSector);
    }
};

using Blob = std::vector<unsigned char>;

inline Blob FromHex(const char* hex) {
    Blob out;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return out;
}

inline Blob Noise(size_t n, uint32_t seed = 7) {
    std::mt19937 rng(seed);
    Blob out(n);
    for (unsigned char& c : out) c = static_cast<unsigned char>(rng());
    return out;
}

inline Blob Cat(Blob a, const Blob& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Blob Slice(const Blob& b, size_t from, size_t to) {
    return Blob(b.begin() + static_cast<std::ptrdiff_t>(from),
                b.begin() + static_cast<std::ptrdiff_t>(to));
}

// A copy of b with the given bytes overwritten: the damaged or hostile twin of a good file.
inline Blob Patched(Blob b, std::initializer_list<std::pair<size_t, unsigned char>> bytes) {
    for (const auto& [at, value] : bytes) b.at(at) = value;
    return b;
}

// The length function's verdict on the file that starts the device.
inline carving::FormatLength Measure(carving::FormatLengthFunc fn, const Blob& device) {
    CMemorySectorReader reader(device.data(), device.size());
    carving::CarveContext ctx(&reader, kSector, 0);
    return fn(ctx);
}

inline ::testing::AssertionResult HasLength(const carving::FormatLength& length,
                                            carving::LengthVerdict verdict, uint64_t bytes) {
    if (length.verdict == verdict && length.bytes == bytes) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "verdict " << static_cast<int>(length.verdict) << " of " << length.bytes
           << " bytes, not " << static_cast<int>(verdict) << " of " << bytes;
}
inline ::testing::AssertionResult IsExactLength(const carving::FormatLength& length,
                                                uint64_t bytes) {
    return HasLength(length, carving::LengthVerdict::kExact, bytes);
}
inline ::testing::AssertionResult IsLowerBound(const carving::FormatLength& length,
                                               uint64_t bytes) {
    return HasLength(length, carving::LengthVerdict::kLowerBound, bytes);
}

// The whole carving step on the device's first sector: walk, name, estimate.
struct Carved {
    int rc = -1;
    uint32_t type = EXT_TYPE_NONE;
    uint64_t length = 0;
    std::string name;
};

inline Carved CarveAtStart(const Blob& device) {
    carving::CarveScan scan;
    CMemorySectorReader reader(device.data(), device.size());
    char name[64] = {};
    Carved c;
    c.rc = CFileTypeJudge::ParseFileBuf(scan, device.data(), kSector, 0, 0, device.size() / kSector,
                                        -1, 0, static_cast<ISectorReader*>(&reader), kSector, name,
                                        sizeof name, c.type, c.length);
    c.name = name;
    return c;
}

}  // namespace carving_test
