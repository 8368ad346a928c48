// Copies the structures the recognisers accept out of a disk image, as seed inputs for the
// fuzz targets: FAT directory sectors (with the sector after them, so that entries cut at a
// sector boundary are seen), NTFS FILE records and boot sectors.
// usage: ferrowen-seed-extract IMAGE OUT_FAT_DIR OUT_NTFS_DIR [MAX_PER_KIND]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/recognisers.h"

namespace {
void WriteSeed(const std::string& dir, const std::string& stem, size_t n, const unsigned char* p,
               size_t len) {
    const std::string path = dir + "/" + stem + "_" + std::to_string(n);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(p), len);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s IMAGE OUT_FAT_DIR OUT_NTFS_DIR [MAX_PER_KIND]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<unsigned char> image((std::istreambuf_iterator<char>(in)), {});
    const size_t most = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 24;
    std::string stem = argv[1];
    stem = stem.substr(stem.find_last_of('/') + 1);
    stem = stem.substr(0, stem.find('.'));
    size_t fat = 0, ntfs = 0;
    for (size_t at = 0; at + 1024 <= image.size(); at += 512) {
        const unsigned char* s = image.data() + at;
        const bool directory = IsFatFileRecord(s, 512) || IsFatFDTRecord(s, 512);
        if (directory && fat < most) WriteSeed(argv[2], stem, fat++, s, 1024);
        const bool boot = IsFat(s, 512) || IsNtfs(s, 512);
        if ((IsNtfsFileRecord(s, 1024) || boot) && ntfs < most) {
            WriteSeed(argv[3], stem, ntfs++, s, boot ? 512 : 1024);
        }
    }
    std::printf("%s: %zu directory seeds, %zu record seeds\n", argv[1], fat, ntfs);
    return 0;
}
