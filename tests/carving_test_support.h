// Shared pieces of the carving tests: the real-file corpus image and its ground truth, a
// scan-log root in a temporary folder, and small byte builders.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace carving_test {

// One placed file of tests/fixtures/carving/carving.truth.tsv.
struct TruthRow {
    std::string name;
    std::string ext;
    uint32_t code;
    uint64_t startSector;
    uint64_t size;
    std::string sha256;
    bool exact;  // length knowable from an end marker or size field
};

inline std::string CorpusDir() {
    return ferrowen::test::FixtureDir() + "/carving";
}

inline std::vector<unsigned char> LoadCorpusImage() {
    const std::string cmd = "gzip -dc '" + CorpusDir() + "/carving.img.gz'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + cmd);
    std::vector<unsigned char> image;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        image.insert(image.end(), chunk, chunk + got);
    if (pclose(pipe) != 0) throw std::runtime_error(cmd + " failed");
    return image;
}

inline std::vector<TruthRow> LoadCorpusTruth() {
    std::ifstream in(CorpusDir() + "/carving.truth.tsv");
    if (!in) throw std::runtime_error("carving.truth.tsv missing");
    std::vector<TruthRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        TruthRow row;
        int exact = 0;
        fields >> row.name >> row.ext >> row.code >> row.startSector >> row.size >> row.sha256 >>
            exact;
        if (!fields) throw std::runtime_error("bad truth line: " + line);
        row.exact = exact != 0;
        rows.push_back(row);
    }
    return rows;
}

inline void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), {});
}

// Points the scan-log root at a temporary folder for the life of the object, so that result
// stores and preview files never touch the real home.
class ScopedLogRoot {
public:
    ScopedLogRoot() {
        const char* old = std::getenv("XDG_DATA_HOME");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        CLogFileManager::GetInstance()->Init();
        CLogFileManager::GetInstance()->AddDirIndex();
    }
    ~ScopedLogRoot() {
        if (had_) {
            setenv("XDG_DATA_HOME", old_.c_str(), 1);
        } else {
            unsetenv("XDG_DATA_HOME");
        }
        CLogFileManager::GetInstance()->Init();
    }
    const std::string& path() const { return dir_.path(); }

private:
    ferrowen::test::TempDir dir_;
    bool had_ = false;
    std::string old_;
};

// Little byte builder for hand-made headers.
struct Bytes {
    std::vector<unsigned char> v;
    explicit Bytes(size_t n = 512) : v(n, 0) {}
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
    Bytes& BE16(size_t at, uint16_t x) {
        const unsigned char b[2] = {static_cast<unsigned char>(x >> 8),
                                    static_cast<unsigned char>(x)};
        return Put(at, b, 2);
    }
    Bytes& BE32(size_t at, uint32_t x) {
        const unsigned char b[4] = {
            static_cast<unsigned char>(x >> 24), static_cast<unsigned char>(x >> 16),
            static_cast<unsigned char>(x >> 8), static_cast<unsigned char>(x)};
        return Put(at, b, 4);
    }
    const unsigned char* data() const { return v.data(); }
    size_t size() const { return v.size(); }
};

}  // namespace carving_test
