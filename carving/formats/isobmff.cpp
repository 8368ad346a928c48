#include "carving/formats/isobmff.h"

#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

// The ftyp box: 8-byte header, major brand, minor version, then whole compatible brands.
constexpr uint32_t kMinFtypBytes = 16;
constexpr uint32_t kMaxFtypBytes = 256;
// A walk of this many boxes without an end is no file we carve (a fragmented movie writes
// two boxes per fragment, a few per second).
constexpr uint32_t kMaxBoxes = 1u << 20;

// Boxes that may sit at the top level of a file after its ftyp. A second ftyp is not among
// them: it starts the next file.
constexpr char kTopLevelTypes[][5] = {
    "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "moof", "mfra", "styp", "sidx",
    "ssix", "pdin", "udta", "prft", "emsg", "pnot", "PICT", "jP  ", "meco", "junk", "bloc",
};

// The boxes an old QuickTime movie (no ftyp) may open with.
constexpr char kBareQuickTimeLeads[][5] = {"moov", "mdat", "wide", "free", "skip", "pnot"};

template <size_t N>
bool IsOneOf(const unsigned char* type, const char (&list)[N][5]) {
    for (const char* name : list) {
        if (std::memcmp(type, name, 4) == 0) return true;
    }
    return false;
}

bool IsBrand(const unsigned char* b, const char* name) {
    return std::memcmp(b, name, 4) == 0;
}

bool IsImageBrand(const unsigned char* b) {
    return IsBrand(b, "heic") || IsBrand(b, "heix") || IsBrand(b, "hevc") || IsBrand(b, "mif1") ||
           IsBrand(b, "msf1");
}

bool IsAvifBrand(const unsigned char* b) {
    return IsBrand(b, "avif") || IsBrand(b, "avis");
}

// The family a movie brand names, or kNone for a brand we do not carve.
IsoBmffFamily MovieFamilyOf(const unsigned char* b) {
    if (IsBrand(b, "M4A ") || IsBrand(b, "M4B ")) return IsoBmffFamily::kM4a;
    if (IsBrand(b, "M4V ")) return IsoBmffFamily::kM4v;
    if (IsBrand(b, "qt  ")) return IsoBmffFamily::kMov;
    if (std::memcmp(b, "3gp", 3) == 0 || std::memcmp(b, "3g2", 3) == 0) {
        return IsoBmffFamily::k3gp;
    }
    const bool iso = std::memcmp(b, "iso", 3) == 0 && (b[3] == 'm' || (b[3] >= '2' && b[3] <= '9'));
    if (iso || IsBrand(b, "mp41") || IsBrand(b, "mp42") || IsBrand(b, "avc1") ||
        IsBrand(b, "dash") || IsBrand(b, "isml") || IsBrand(b, "piff")) {
        return IsoBmffFamily::kMp4;
    }
    return IsoBmffFamily::kNone;
}

// Brands are tested most telling first: a still-image or raw-photo brand anywhere decides,
// then the major brand, then the first compatible brand we know.
IsoBmffFamily FamilyOfBrands(const unsigned char* major, const unsigned char* compat,
                             size_t count) {
    bool image = IsImageBrand(major);
    bool avif = IsAvifBrand(major);
    bool raw = IsBrand(major, "crx ");
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* b = compat + 4 * i;
        image = image || IsImageBrand(b);
        avif = avif || IsAvifBrand(b);
        raw = raw || IsBrand(b, "crx ");
    }
    if (raw) return IsoBmffFamily::kCr3;
    if (avif) return IsoBmffFamily::kAvif;
    if (image) return IsoBmffFamily::kHeic;
    IsoBmffFamily family = MovieFamilyOf(major);
    for (size_t i = 0; i < count && family == IsoBmffFamily::kNone; ++i) {
        family = MovieFamilyOf(compat + 4 * i);
    }
    return family;
}

struct BoxWalk {
    uint64_t end = 0;
    bool moov = false;
    bool mdat = false;
    bool moof = false;
    bool meta = false;

    void Note(const unsigned char* type) {
        moov = moov || std::memcmp(type, "moov", 4) == 0;
        mdat = mdat || std::memcmp(type, "mdat", 4) == 0;
        moof = moof || std::memcmp(type, "moof", 4) == 0;
        meta = meta || std::memcmp(type, "meta", 4) == 0;
    }
    bool Playable() const { return moov && (mdat || moof); }
    bool Complete(IsoBmffFamily family) const {
        const bool image = family == IsoBmffFamily::kHeic || family == IsoBmffFamily::kAvif;
        return Playable() || (image && meta);
    }
};

enum class BoxStep { kNext, kStop, kToFileEnd, kPastDevice };

// Reads the box at walk.end; kNext moves walk.end past it. *pType receives its type.
BoxStep StepBox(CarveContext& ctx, BoxWalk& walk, unsigned char* pType) {
    const unsigned char* p = ctx.View(walk.end, 16);
    if (p == nullptr) p = ctx.View(walk.end, 8);  // a last small box right at the device end
    if (p == nullptr) return BoxStep::kStop;
    std::memcpy(pType, p + 4, 4);
    const uint32_t size32 = Be32(p);
    uint64_t size = size32;
    if (size32 == 0) return BoxStep::kToFileEnd;
    if (size32 == 1) {
        p = ctx.View(walk.end, 16);
        if (p == nullptr) return BoxStep::kStop;
        size = Be64(p + 8);
        if (size < 16) return BoxStep::kStop;
    } else if (size32 < 8) {
        return BoxStep::kStop;
    }
    if (size > ctx.BytesToDeviceEnd() - walk.end) return BoxStep::kPastDevice;
    walk.end += size;
    return BoxStep::kNext;
}

// Letters, digits and spaces, and not the ftyp that starts the next file.
bool IsWritersOwnType(const unsigned char* type) {
    if (std::memcmp(type, "ftyp", 4) == 0) return false;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = type[i];
        if (c != ' ' && !(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'Z') &&
            !(c >= 'a' && c <= 'z')) {
            return false;
        }
    }
    return true;
}

// A box we know starts at `at`. A writer's own box between two known ones belongs to the
// file; one after the last known box cannot be told from what follows the file.
bool KnownBoxAt(CarveContext& ctx, uint64_t at) {
    const unsigned char* p = ctx.View(at, 8);
    if (p == nullptr || !IsOneOf(p + 4, kTopLevelTypes)) return false;
    const uint32_t size = Be32(p);
    return size == 0 || size == 1 || size >= 8;
}

}  // namespace

IsoBmffFamily IsoBmffFamilyOf(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kMinFtypBytes || std::memcmp(p + 4, "ftyp", 4) != 0) {
        return IsoBmffFamily::kNone;
    }
    const uint32_t size = Be32(p);
    if (size < kMinFtypBytes || size > kMaxFtypBytes || size % 4 != 0 || size > len) {
        return IsoBmffFamily::kNone;
    }
    return FamilyOfBrands(p + 8, p + 16, (size - kMinFtypBytes) / 4);
}

bool LooksLikeBareQuickTime(const unsigned char* p, size_t len) {
    if (p == nullptr || len < 16 || !IsOneOf(p + 4, kBareQuickTimeLeads)) return false;
    const uint32_t size = Be32(p);
    if (size < 8) return false;
    if (size <= len - 8) return IsOneOf(p + size + 4, kTopLevelTypes);
    // The next box lies beyond what we hold: only a movie header box vouches for the first.
    return std::memcmp(p + 4, "moov", 4) == 0 && size >= 16 &&
           (std::memcmp(p + 12, "mvhd", 4) == 0 || std::memcmp(p + 12, "cmov", 4) == 0);
}

FormatLength IsoBmffLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, 16);
    if (head == nullptr) return FormatLength::Rejected();
    IsoBmffFamily family = IsoBmffFamily::kMov;
    if (std::memcmp(head + 4, "ftyp", 4) == 0) {
        const unsigned char* ftyp = ctx.View(0, kMaxFtypBytes);
        const size_t held = ftyp != nullptr ? kMaxFtypBytes : 16;
        family = IsoBmffFamilyOf(ftyp != nullptr ? ftyp : head, held);
        if (family == IsoBmffFamily::kNone) return FormatLength::Rejected();
    } else if (!IsOneOf(head + 4, kTopLevelTypes)) {
        return FormatLength::Rejected();
    }
    BoxWalk walk;
    unsigned char type[4] = {};
    for (uint32_t boxes = 0;; ++boxes) {
        if (boxes == kMaxBoxes) return FormatLength::AtLeast(walk.end);
        const uint64_t at = walk.end;
        const BoxStep step = StepBox(ctx, walk, type);
        const bool known = at == 0 || IsOneOf(type, kTopLevelTypes);
        if (step == BoxStep::kNext &&
            (known || (IsWritersOwnType(type) && KnownBoxAt(ctx, walk.end)))) {
            walk.Note(type);
            continue;
        }
        if (step == BoxStep::kNext) walk.end = at;  // a box of no kind we know ends the file
        if (step != BoxStep::kNext && step != BoxStep::kStop && known) {
            // The box runs to the end of a file whose end nothing records, or past the device.
            return FormatLength::AtLeast(at);
        }
        break;
    }
    if (walk.end == 0) return FormatLength::Rejected();
    return walk.Complete(family) ? FormatLength::Exact(walk.end) : FormatLength::AtLeast(walk.end);
}

bool IsWalkableIsoBmff(const unsigned char* p, size_t len) {
    return IsoBmffFamilyOf(p, len) != IsoBmffFamily::kNone || LooksLikeBareQuickTime(p, len);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr char szMp4Tail[] = "freeIsoMedia File Produced";

constexpr size_t kMp4TailLen = sizeof szMp4Tail - 1;

// The old rule for MP4 files: the tail text some writers leave after the last box.
uint64_t Mp4TailBytes(CarveScan& scan) {
    return StreamWith(scan, 4 * kGiB, EndKind::kVideo, [](const StreamChunk& c, uint64_t& length) {
        const size_t at = FindForward(c.p, c.nBytes, 0, szMp4Tail, kMp4TailLen);
        if (at == kNotFound) return 0;
        size_t after = at + kMp4TailLen;
        while (after < c.nBytes && c.p[after] != 0) ++after;
        length = c.u64Offset + after;
        return 1;
    });
}

uint32_t CodeOfIsoBmffFamily(formats::IsoBmffFamily family) {
    using formats::IsoBmffFamily;
    switch (family) {
        case IsoBmffFamily::kMp4:
            return EXT_TYPE_MP4;
        case IsoBmffFamily::kMov:
            return EXT_TYPE_MOV;
        case IsoBmffFamily::k3gp:
            return EXT_TYPE_3GP;
        case IsoBmffFamily::kM4a:
            return EXT_TYPE_M4A;
        case IsoBmffFamily::kM4v:
            return EXT_TYPE_M4V;
        case IsoBmffFamily::kHeic:
            return EXT_TYPE_HEIC;
        case IsoBmffFamily::kAvif:
            return EXT_TYPE_AVIF;
        case IsoBmffFamily::kCr3:
            return EXT_TYPE_CR3;
        case IsoBmffFamily::kNone:
            break;
    }
    return EXT_TYPE_NONE;
}

template <class Fallback>
uint64_t IsoBmffOr(CarveScan& scan, const unsigned char* p, size_t len, Fallback&& fallback) {
    if (!formats::IsWalkableIsoBmff(p, len)) return fallback();
    return ExactOr(scan, formats::IsoBmffLength, std::forward<Fallback>(fallback));
}

}  // namespace

namespace carving::formats {

// Every ISO box-structured family is typed here, by its brands, ahead of the 3GP and MOV rows.
uint32_t IsMp4Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 32 || !HasText(p, len, 4, "ftyp")) return EXT_TYPE_NONE;
    const uint32_t code = CodeOfIsoBmffFamily(formats::IsoBmffFamilyOf(p, len));
    if (code != EXT_TYPE_NONE) return code;
    return HasText(p, len, 8, "iso") || HasText(p, len, 8, "mp42") ? EXT_TYPE_MP4 : EXT_TYPE_NONE;
}

uint32_t Is3pgType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 32 && HasText(p, len, 4, "ftyp") && HasText(p, len, 8, "3gp") ? EXT_TYPE_3GP
                                                                                : EXT_TYPE_NONE;
}

uint32_t IsMovType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16) return EXT_TYPE_NONE;
    if (HasText(p, len, 0, "moov") || formats::LooksLikeBareQuickTime(p, len)) return EXT_TYPE_MOV;
    return HasText(p, len, 4, "ftyp") && HasText(p, len, 8, "qt  ") ? EXT_TYPE_MOV : EXT_TYPE_NONE;
}

uint64_t GetMP4FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return IsoBmffOr(scan, p, len, [&] { return Mp4TailBytes(scan); });
}

uint64_t GetHEIFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return IsoBmffOr(scan, p, len,
                     [&] { return CFileTypeJudge::GetDefaultPictureFileBytesSize(scan, p, len); });
}

}  // namespace carving::formats
