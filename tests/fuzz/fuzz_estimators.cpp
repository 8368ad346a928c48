// The length estimators over arbitrary bytes that stand for the device from the file's first
// sector on: every row's estimator called directly (so that the structural walks of every
// format see every input, whatever its first bytes), the typing helpers, and a whole carving
// step as the deep scan makes it. Lengths may be anything; reads must stay inside the device
// and nothing may fault or hang.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 18)) return 0;
    constexpr size_t kSector = 512;
    CMemorySectorReader reader(data, size);
    const size_t len = size < kSector ? size : kSector;
    const unsigned char* first = size == 0 ? nullptr : data;

    CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 90);
    CFileTypeJudge::SetReadContext(&reader, kSector, 0);
    CFileTypeJudge::GetICOFileBytesSize(first, len);
    CFileTypeJudge::GetTTFFileBytesSize(first, len);
    CFileTypeJudge::GetASFFileBytesSize(first, len);
    CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(first, len);
    CFileTypeJudge::GetOffice2003Type(first, len);
    CFileTypeJudge::GetOffice2007Type(first, len);
    CFileTypeJudge::GetMIDFileBytesSize(first, len);
    CFileTypeJudge::Get7ZFileBytesSize(first, len);
    CFileTypeJudge::GetZIPFileBytesSize(first, len);
    CFileTypeJudge::GetTSFileBytesSize(first, len);
    // Each estimator once: rows sharing one are skipped.
    for (size_t row = 0; row < kSignatureRowCount && size >= kSector; ++row) {
        const ESTIMATE_FUNC estimate = szExtendNameAndType[row].pfnEstimate;
        bool seen = estimate == nullptr;
        for (size_t earlier = 0; earlier < row && !seen; ++earlier) {
            seen = szExtendNameAndType[earlier].pfnEstimate == estimate;
        }
        if (seen) continue;
        CFileTypeJudge::SetReadContext(&reader, kSector, 0);
        estimate(first, len);
    }

    // A whole carving step on the first sector, as the deep scan makes it.
    char name[64];
    uint32_t type = 0;
    uint64_t length = 0;
    if (size >= kSector) {
        CFileTypeJudge::ParseFileBuf(data, kSector, 0, 0, size / kSector, -1, 0,
                                     static_cast<ISectorReader*>(&reader), kSector, name,
                                     sizeof name, type, length);
    }
    CFileTypeJudge::m_pDiskReader = nullptr;
    CFileTypeJudge::ClearTsFileRanges();
    return 0;
}
