// The signature table over arbitrary bytes. The input is also the device the recognisers
// read onwards from (transport streams, compound documents, Office containers), so hostile
// follow-on sectors are covered too. The dispatched walk must always agree with the plain
// row-by-row walk.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "carving/file_type_judge.h"
#include "carving/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 18)) return 0;
    carving::CarveScan scan;
    CMemorySectorReader reader(data, size);
    constexpr size_t kSector = 512;
    static const char* const kExtensions[] = {"doc", "xls", "ppt", "docx", "xlsx", "pptx",
                                              "ts",  "ico", "ttf", "jpg",  "exe",  "txt"};
    for (int check = 0; check < 2; ++check) {
        scan.m_bIsNeedCheckTsFileRange = check;
        scan.m_bIsMtsFileHead = check;
        for (size_t at = 0; at < size || at == 0; at += kSector) {
            const size_t len = size - at < kSector ? size - at : kSector;
            const unsigned char* p = size == 0 ? nullptr : data + at;
            scan.SetReadContext(&reader, kSector, at / kSector);
            const uint32_t fast = CFileTypeJudge::GetDataBufType(scan, p, len);
            scan.SetReadContext(&reader, kSector, at / kSector);
            if (fast != CFileTypeJudge::GetDataBufTypeByFullWalk(scan, p, len)) std::abort();
            CFileTypeJudge::IsFileSystemSector(p, len);
            if (size == 0) break;
        }
    }
    // Every row once on every prefix length of the first bytes, so that short buffers are
    // held to their minimum lengths.
    for (size_t len = 0; len <= (size < 64 ? size : 64); ++len) {
        for (size_t row = 0; row < kSignatureRowCount; ++row) {
            scan.SetReadContext(&reader, kSector, 0);
            szExtendNameAndType[row].pfnRecognise(scan, len == 0 ? nullptr : data, len);
        }
    }
    for (const char* ext : kExtensions) {
        CFileTypeJudge::IsFileTypeMatching(data, size < kSector ? size : kSector, ext,
                                           static_cast<ISectorReader*>(&reader), kSector, 0);
    }
    return 0;
}
