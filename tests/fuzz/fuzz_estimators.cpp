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
#include "carving/formats/asf.h"
#include "carving/formats/compound.h"
#include "carving/formats/ico.h"
#include "carving/formats/midi.h"
#include "carving/formats/mpeg_ts.h"
#include "carving/formats/sevenzip.h"
#include "carving/formats/ttf.h"
#include "carving/formats/zip.h"
#include "carving/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 18)) return 0;
    carving::CarveScan scan;
    constexpr size_t kSector = 512;
    CMemorySectorReader reader(data, size);
    const size_t len = size < kSector ? size : kSector;
    const unsigned char* first = size == 0 ? nullptr : data;

    scan.InitCallBack(nullptr, nullptr, nullptr, 90);
    scan.SetReadContext(&reader, kSector, 0);
    carving::formats::GetICOFileBytesSize(scan, first, len);
    carving::formats::GetTTFFileBytesSize(scan, first, len);
    carving::formats::GetASFFileBytesSize(scan, first, len);
    carving::formats::GetOFFICE2003FileBytesSizeByFileHead(scan, first, len);
    carving::formats::GetOffice2003Type(scan, first, len);
    carving::formats::GetOffice2007Type(scan, first, len);
    carving::formats::GetMIDFileBytesSize(scan, first, len);
    carving::formats::Get7ZFileBytesSize(scan, first, len);
    carving::formats::GetZIPFileBytesSize(scan, first, len);
    carving::formats::GetTSFileBytesSize(scan, first, len);
    // Each estimator once: rows sharing one are skipped.
    for (size_t row = 0; row < kSignatureRowCount && size >= kSector; ++row) {
        const ESTIMATE_FUNC estimate = szExtendNameAndType[row].pfnEstimate;
        bool seen = estimate == nullptr;
        for (size_t earlier = 0; earlier < row && !seen; ++earlier) {
            seen = szExtendNameAndType[earlier].pfnEstimate == estimate;
        }
        if (seen) continue;
        scan.SetReadContext(&reader, kSector, 0);
        estimate(scan, first, len);
    }

    // A whole carving step on the first sector, as the deep scan makes it.
    char name[64];
    uint32_t type = 0;
    uint64_t length = 0;
    if (size >= kSector) {
        CFileTypeJudge::ParseFileBuf(scan, data, kSector, 0, 0, size / kSector, -1, 0,
                                     static_cast<ISectorReader*>(&reader), kSector, name,
                                     sizeof name, type, length);
    }
    return 0;
}
