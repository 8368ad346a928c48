// The length estimators over arbitrary bytes that stand for the device from the file's first
// sector on: the header-field ones (icons, fonts, ASF, compound documents with their
// allocation tables) and, through a whole carving step, every estimator the first sector
// selects. Lengths may be anything; reads must stay inside the device and nothing may fault.
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
