// MXF files, recognised by their header partition key.
#include "carving/formats/mxf.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr unsigned char kMxfKey[] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                     0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};

}  // namespace

namespace carving::formats {

uint32_t IsMxfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kMxfKey, sizeof kMxfKey) ? EXT_TYPE_MXF : EXT_TYPE_NONE;
}

}  // namespace carving::formats
