// Windows Media (ASF) files: WMV, WMA and ASF.
#include "carving/formats/asf.h"

#include <algorithm>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

using namespace carving;

namespace {

constexpr unsigned char kAsfHeaderGuid[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                            0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

constexpr unsigned char sm_Asf_file_properties_guid[] = {
    0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};

}  // namespace

namespace carving::formats {

uint32_t IsAsfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 24 && Has(p, len, 0, kAsfHeaderGuid, 16) ? EXT_TYPE_WMV : EXT_TYPE_NONE;
}

uint64_t GetASFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 46) return b;
    const size_t guid =
        FindForward(p, len - 46 + sizeof sm_Asf_file_properties_guid, 30,
                    sm_Asf_file_properties_guid, sizeof sm_Asf_file_properties_guid);
    // The flags lie 88 bytes into the object; an object cut off before them cannot say
    // whether the stream is a broadcast whose size field means nothing.
    if (guid == kNotFound || guid + 89 > len) return b;
    if (p[guid + 88] & 1) return b;
    return std::min<uint64_t>(LoadU64(p + guid + 40), 256 * kMiB);
}

}  // namespace carving::formats
