// Mail stores: Outlook Express folders (DBX) and Outlook files (PST).
#include "carving/formats/mail.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr unsigned char kDbxMagic[] = {0xCF, 0xAD, 0x12, 0xFE};

}  // namespace

namespace carving::formats {

uint32_t IsDbxEmailType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kDbxMagic, 4) ? EXT_TYPE_DBX : EXT_TYPE_NONE;
}

uint32_t IsPstEmailType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && HasText(p, len, 0, "!BDN") && HasText(p, len, 8, "SM") ? EXT_TYPE_PST
                                                                               : EXT_TYPE_NONE;
}

uint64_t GetMailFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return StreamToNextFile(scan, 2 * kGiB, EndKind::kFile);
}

}  // namespace carving::formats
