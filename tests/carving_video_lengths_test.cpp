// Structural lengths of video, audio and still-image containers: each file is measured from
// its own structure and must come back byte-exact whatever follows it on the device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"
#include "carving/formats/ebml.h"
#include "carving/formats/flv.h"
#include "carving/formats/isobmff.h"
#include "carving/formats/mpeg_ps.h"
#include "carving/formats/riff.h"
#include "carving/judge_internal.h"
#include "carving/sector_reader.h"
#include "carving_test_support.h"

namespace {

using carving::CarveContext;
using carving::FormatLength;
using carving::FormatLengthFunc;
using carving::LengthVerdict;
using carving_test::kSector;
using Buf = std::vector<unsigned char>;
using J = CFileTypeJudge;

// Files written by the encoders installed on the build machine (ffmpeg, cwebp), tiny on
// purpose: a 16x16 frame each.
const char kFfmpegMp4[] =
    "0000001c6674797069736f6d0000020069736f6d69736f326d70343100000008667265650000001c6d6461740000"
    "01b3001007000001b6160518506d82c81e0f0000031c6d6f6f760000006c6d766864000000000000000000000000"
    "000003e8000003e80001000001000000000000000000000000010000000000000000000000000000000100000000"
    "0000000000000000000040000000000000000000000000000000000000000000000000000000000000020000026b"
    "7472616b0000005c746b68640000000300000000000000000000000100000000000003e800000000000000000000"
    "00000000000000010000000000000000000000000000000100000000000000000000000000004000000000100000"
    "0010000000000024656474730000001c656c73740000000000000001000003e80000000000010000000001e36d64"
    "6961000000206d646864000000000000000000000000000040000000400055c400000000002d68646c7200000000"
    "0000000076696465000000000000000000000000566964656f48616e646c6572000000018e6d696e660000001476"
    "6d68640000000100000000000000000000002464696e660000001c6472656600000000000000010000000c75726c"
    "20000000010000014e7374626c000000ea737473640000000000000001000000da6d703476000000000000000100"
    "0000000000000000000000000000000010001000480000004800000000000000010a4c617663206d706567340000"
    "000000000000000000000000000000000000000018ffff000000606573647300000000038080804f000100048080"
    "8041201100000000030d40000000a0058080802f000001b001000001b58913000001000000012000c48d88000d00"
    "84021463000001b24c61766335392e33372e31303006808080010200000010706173700000000100000001000000"
    "14627472740000000000030d40000000a00000001873747473000000000000000100000001000040000000001c73"
    "7473630000000000000001000000010000000100000001000000147374737a000000000000001400000001000000"
    "147374636f00000000000000010000002c0000003d75647461000000356d657461000000000000002168646c7200"
    "000000000000006d6469726170706c00000000000000000000000008696c7374";
const char kFfmpegFlv[] =
    "464c56010100000009000000001200009f0000000000000002000a6f6e4d65746144617461080000000700086475"
    "726174696f6e003ff000000000000000057769647468004030000000000000000668656967687400403000000000"
    "0000000d766964656f64617461726174650040686a000000000000096672616d6572617465003ff0000000000000"
    "000c766964656f636f6465636964004000000000000000000866696c6573697a6500406b20000000000000000900"
    "0000aa0900000f00000000000000120000840008081126a2a2a2a2b5e00000001a";
const char kFfmpegLiveWebm[] =
    "1a45dfa39f4286810142f7810142f2810442f381084282847765626d42878102428581021853806701ffffffffff"
    "ffff114d9b74ab4dbb8b53ab841549a96653ac81a14dbb8b53ab841654ae6b53ac81bb4dbb8c53ab841254c36753"
    "ac820101ec0100000000000068000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000001549a966952ad7b1830f42404d80844c6176665741"
    "844c6176661654ae6bc1ae0100000000000038d7810173c58800000000000000019c810022b59c83756e64888100"
    "8685565f56503883810123e383843b9aca00e089b08110ba81109a81021254c367ac7373a963c08b63c588000000"
    "000000000167c89845a387454e434f44455244878b4c617663206c69627670781f43b675c2e78100a3bd81000080"
    "f002009d012a1000100000470885858899848802020275aa03f803fa020d4dee00fefd6ef3ffe46fe3e746ffc8e3"
    "fffc4a9ee389e3fffc4680";
const char kCwebpWebp[] =
    "524946463c000000574542505650382030000000d001009d012a1000100002003425a00274ba01f80003b000fef0"
    "c40bff20b96175c8d7ff203fe407fc80fff8f2000000";

Buf FromHex(const char* hex) {
    Buf out;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return out;
}

void Append(Buf& out, const Buf& more) {
    out.insert(out.end(), more.begin(), more.end());
}
void PutBe32(Buf& out, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(x >> s));
}
void PutLe32(Buf& out, uint32_t x) {
    for (int s = 0; s <= 24; s += 8) out.push_back(static_cast<unsigned char>(x >> s));
}
void PutText(Buf& out, const char* text) {
    out.insert(out.end(), text, text + std::strlen(text));
}

// An ISO box of `payload` zero bytes (or the given bytes).
Buf Box(const char* type, size_t payload, const Buf& body = {}) {
    Buf out;
    PutBe32(out, static_cast<uint32_t>(8 + payload));
    PutText(out, type);
    Buf data = body;
    data.resize(payload);
    Append(out, data);
    return out;
}
Buf Ftyp(const char* major, const char* compat) {
    Buf body;
    PutText(body, major);
    PutBe32(body, 0);
    PutText(body, compat);
    return Box("ftyp", body.size(), body);
}

Buf RiffChunk(const char* id, const Buf& body) {
    Buf out;
    PutText(out, id);
    PutLe32(out, static_cast<uint32_t>(body.size()));
    Append(out, body);
    if (body.size() % 2 != 0) out.push_back(0);
    return out;
}
Buf RiffForm(const char* riff, const char* form, const Buf& chunks) {
    Buf body;
    PutText(body, form);
    Append(body, chunks);
    Buf out = RiffChunk(riff, body);
    return out;
}
Buf Filled(size_t n) {
    return Buf(n, 0x5A);
}

enum class Tail { kNoise, kZeros, kSameFormat };

// The file, then `tail` bytes of noise or zeros (or a copy of the file and noise), rounded up
// to whole sectors.
struct Device {
    Buf bytes;
    CMemorySectorReader reader{nullptr, 0};
    Device(const Buf& file, Tail tail, size_t tailBytes = 3000) {
        bytes = file;
        if (tail == Tail::kSameFormat) Append(bytes, file);
        const size_t total = (bytes.size() + tailBytes + kSector - 1) / kSector * kSector;
        uint32_t x = 2463534242u;
        while (bytes.size() < total) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            bytes.push_back(tail == Tail::kZeros ? 0 : static_cast<unsigned char>(x));
        }
        reader = CMemorySectorReader(bytes.data(), bytes.size());
    }
    FormatLength Measure(FormatLengthFunc fn) {
        CarveContext ctx(&reader, kSector, 0);
        return fn(ctx);
    }
};

void ExpectExact(FormatLength got, uint64_t bytes) {
    EXPECT_EQ(got.verdict, LengthVerdict::kExact);
    EXPECT_EQ(got.bytes, bytes);
}

// ---- Whole files, whatever follows them ----------------------------------------------------

struct ExactCase {
    const char* name;
    FormatLengthFunc fn;
    Buf (*make)();
};

Buf FaststartMp4() {
    return FromHex(kFfmpegMp4);
}
Buf FragmentedMp4() {
    Buf f = Ftyp("isom", "isomiso6mp41");
    for (const Buf& b : {Box("moov", 700), Box("Xcam", 40), Box("moof", 100), Box("mdat", 900),
                         Box("moof", 100), Box("mdat", 33), Box("mfra", 60)}) {
        Append(f, b);
    }
    return f;
}
Buf LargeSizeHeic() {
    Buf f = Ftyp("heic", "mif1heic");
    Append(f, Box("meta", 300));
    PutBe32(f, 1);  // mdat with a 64-bit size
    PutText(f, "mdat");
    PutBe32(f, 0);
    PutBe32(f, 16 + 77);
    Append(f, Filled(77));
    return f;
}
Buf Wav() {
    Buf fmt;
    PutLe32(fmt, 0x00010001);
    PutLe32(fmt, 8000);
    PutLe32(fmt, 8000);
    PutLe32(fmt, 0x00080001);
    Buf info;
    PutText(info, "INFO");
    Append(info, RiffChunk("ISFT", Filled(13)));
    Buf chunks = RiffChunk("fmt ", fmt);
    Append(chunks, RiffChunk("LIST", info));
    Append(chunks, RiffChunk("data", Filled(401)));  // odd: padded
    return RiffForm("RIFF", "WAVE", chunks);
}
Buf AviWithExtension() {
    Buf hdrl;
    PutText(hdrl, "hdrl");
    Append(hdrl, RiffChunk("avih", Filled(56)));
    Buf movi;
    PutText(movi, "movi");
    Append(movi, RiffChunk("00dc", Filled(700)));
    Buf chunks = RiffChunk("LIST", hdrl);
    Append(chunks, RiffChunk("LIST", movi));
    Append(chunks, RiffChunk("idx1", Filled(16)));
    Buf f = RiffForm("RIFF", "AVI ", chunks);
    Append(f, RiffForm("RIFF", "AVIX", RiffChunk("LIST", movi)));
    return f;
}
Buf Webp() {
    return FromHex(kCwebpWebp);
}
Buf LiveWebm() {
    return FromHex(kFfmpegLiveWebm);
}
// A live recording whose clusters have no size either.
Buf OpenClusterWebm() {
    Buf f = FromHex(kFfmpegLiveWebm);
    f.resize(0x162);  // everything before the first cluster
    for (int c = 0; c < 2; ++c) {
        for (unsigned char b : {0x1F, 0x43, 0xB6, 0x75, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xE7, 0x81, 0x00}) {
            f.push_back(b);
        }
        for (int k = 0; k < 3; ++k) {
            for (unsigned char b : {0xA3, 0x86, 0x81, 0x00, 0x00, 0x80, 0x11, 0x22}) f.push_back(b);
        }
    }
    return f;
}
Buf KnownSizeMkv() {
    Buf f = FromHex(kFfmpegLiveWebm);
    // The segment's size: what follows its 12-byte header, coded on 8 bytes.
    const uint64_t size = f.size() - 0x30;
    f[0x28] = 0x01;
    for (int i = 0; i < 7; ++i) f[0x2F - i] = static_cast<unsigned char>(size >> (8 * i));
    return f;
}
Buf Flv() {
    return FromHex(kFfmpegFlv);
}
Buf Pack(bool mpeg2, const Buf& packets, unsigned char clock = 1) {
    Buf p = mpeg2 ? Buf{0, 0, 1, 0xBA, 0x44, clock, 4, 0, 4, 1, 0, 0, 3, 0xF9, 0xFF}
                  : Buf{0, 0, 1, 0xBA, 0x21, clock, 1, 0, 1, 0x80, 0, 1};
    Append(p, packets);
    return p;
}
Buf Packet(unsigned char id, size_t n) {
    Buf p{0, 0, 1, id, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    Append(p, Filled(n));
    return p;
}
Buf ProgramStream(bool mpeg2, bool endCode) {
    Buf first = Packet(0xBB, 12);
    Append(first, Packet(0xE0, 1900));
    Buf f = Pack(mpeg2, first);
    Buf second = Packet(0xC0, 300);
    Append(second, Packet(0xBE, 40));
    Append(f, Pack(mpeg2, second, 2));
    if (endCode) Append(f, Buf{0, 0, 1, 0xB9});
    return f;
}
Buf Mpeg2WithEndCode() {
    return ProgramStream(true, true);
}
Buf Mpeg1WithoutEndCode() {
    return ProgramStream(false, false);
}

class ExactLength : public ::testing::TestWithParam<std::tuple<ExactCase, Tail>> {};

TEST_P(ExactLength, EndsAtTheLastByteOfItsOwnStructure) {
    const auto& [c, tail] = GetParam();
    const Buf file = c.make();
    Device dev(file, tail);
    ExpectExact(dev.Measure(c.fn), file.size());
    Device atDeviceEnd(file, Tail::kNoise, 0);
    ExpectExact(atDeviceEnd.Measure(c.fn), file.size());
}

const ExactCase kExactCases[] = {
    {"Mp4Faststart", carving::formats::IsoBmffLength, FaststartMp4},
    {"Mp4Fragmented", carving::formats::IsoBmffLength, FragmentedMp4},
    {"HeicLargeSize", carving::formats::IsoBmffLength, LargeSizeHeic},
    {"Wav", carving::formats::RiffLength, Wav},
    {"AviExtended", carving::formats::RiffLength, AviWithExtension},
    {"Webp", carving::formats::RiffLength, Webp},
    {"WebmLive", carving::formats::EbmlLength, LiveWebm},
    {"WebmOpenClusters", carving::formats::EbmlLength, OpenClusterWebm},
    {"MkvKnownSize", carving::formats::EbmlLength, KnownSizeMkv},
    {"Flv", carving::formats::FlvLength, Flv},
    {"Mpeg2EndCode", carving::formats::MpegPsLength, Mpeg2WithEndCode},
    {"Mpeg1NoEndCode", carving::formats::MpegPsLength, Mpeg1WithoutEndCode},
};

std::string ExactCaseName(const ::testing::TestParamInfo<std::tuple<ExactCase, Tail>>& info) {
    static const char* const kTails[] = {"Noise", "Zeros", "AnotherOne"};
    return std::string(std::get<0>(info.param).name) +
           kTails[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Containers, ExactLength,
                         ::testing::Combine(::testing::ValuesIn(kExactCases),
                                            ::testing::Values(Tail::kNoise, Tail::kZeros,
                                                              Tail::kSameFormat)),
                         ExactCaseName);

// ---- Damaged and hostile files fall back or are refused ------------------------------------

struct FallbackCase {
    const char* name;
    FormatLengthFunc fn;
    Buf (*make)();
    LengthVerdict verdict;
};

Buf Mp4WithoutMoov() {
    Buf f = Ftyp("mp42", "isommp42");
    Append(f, Box("mdat", 500));
    return f;
}
Buf Mp4MdatToFileEnd() {
    Buf f = Ftyp("isom", "isom");
    Append(f, Box("moov", 100));
    Append(f, Buf{0, 0, 0, 0, 'm', 'd', 'a', 't'});
    return f;
}
Buf Mp4HugeLargeSize() {
    Buf f = Ftyp("isom", "isom");
    Append(f, Box("moov", 100));
    Append(f, Buf{0, 0, 0, 1, 'm', 'd', 'a', 't', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0});
    return f;
}
Buf UnknownBrand() {
    return Ftyp("xxxx", "yyyy");
}
Buf WavDataOverrunsRiff() {
    Buf f = Wav();
    f[4] = static_cast<unsigned char>(f[4] - 2);  // RIFF size no longer the chunks' sum
    return f;
}
Buf WavHugeRiff() {
    Buf f = Wav();
    f[4] = f[5] = f[6] = 0xFF;
    f[7] = 0x7F;
    return f;
}
Buf MkvHugeSegment() {
    Buf f = KnownSizeMkv();
    f[0x29] = 0x7F;
    return f;
}
Buf NotMatroska() {
    Buf f = FromHex(kFfmpegLiveWebm);
    std::memcpy(f.data() + 0x18, "wxbm", 4);
    return f;
}
Buf FlvBadBackPointer() {
    Buf f = Flv();
    f[13 + 11 + 0x9F + 3] ^= 1;  // the first tag's back-pointer
    return f;
}
Buf FlvHugeTag() {
    Buf f = Flv();
    f[14] = f[15] = f[16] = 0xFF;
    return f;
}
Buf FlvBadHeader() {
    Buf f = Flv();
    f[8] = 10;
    return f;
}
Buf MpegOnePackThenNoise() {
    Buf f = ProgramStream(true, false);
    f.resize(15 + 18 + 1906);
    return f;
}
Buf MpegUnknownStartCode() {
    Buf f = ProgramStream(true, false);
    Append(f, Buf{0, 0, 1, 0x42, 0xFF, 0xFF});
    return f;
}
Buf MpegHugePes() {
    Buf f = Pack(true, Packet(0xBB, 12));
    Append(f, Buf{0, 0, 1, 0xE0, 0xFF, 0xFF});
    return f;
}

class FallsBack : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(FallsBack, NeverClaimsAnExactEnd) {
    const FallbackCase& c = GetParam();
    Device dev(c.make(), Tail::kNoise, 600);
    EXPECT_EQ(dev.Measure(c.fn).verdict, c.verdict);
}

const FallbackCase kFallbackCases[] = {
    {"Mp4WithoutMoov", carving::formats::IsoBmffLength, Mp4WithoutMoov, LengthVerdict::kLowerBound},
    {"Mp4MdatToFileEnd", carving::formats::IsoBmffLength, Mp4MdatToFileEnd,
     LengthVerdict::kLowerBound},
    {"Mp4HugeLargeSize", carving::formats::IsoBmffLength, Mp4HugeLargeSize,
     LengthVerdict::kLowerBound},
    {"UnknownBrand", carving::formats::IsoBmffLength, UnknownBrand, LengthVerdict::kNotThisFormat},
    {"WavSizeMismatch", carving::formats::RiffLength, WavDataOverrunsRiff,
     LengthVerdict::kLowerBound},
    {"WavHugeRiff", carving::formats::RiffLength, WavHugeRiff, LengthVerdict::kLowerBound},
    {"MkvHugeSegment", carving::formats::EbmlLength, MkvHugeSegment, LengthVerdict::kLowerBound},
    {"NotMatroska", carving::formats::EbmlLength, NotMatroska, LengthVerdict::kNotThisFormat},
    {"FlvBadBackPointer", carving::formats::FlvLength, FlvBadBackPointer,
     LengthVerdict::kLowerBound},
    {"FlvHugeTag", carving::formats::FlvLength, FlvHugeTag, LengthVerdict::kLowerBound},
    {"FlvBadHeader", carving::formats::FlvLength, FlvBadHeader, LengthVerdict::kNotThisFormat},
    {"MpegOnePack", carving::formats::MpegPsLength, MpegOnePackThenNoise,
     LengthVerdict::kLowerBound},
    {"MpegUnknownCode", carving::formats::MpegPsLength, MpegUnknownStartCode,
     LengthVerdict::kLowerBound},
    {"MpegHugePes", carving::formats::MpegPsLength, MpegHugePes, LengthVerdict::kLowerBound},
};

INSTANTIATE_TEST_SUITE_P(Containers, FallsBack, ::testing::ValuesIn(kFallbackCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A 5 GiB movie is walked by its box headers alone --------------------------------------

// A device that holds zeros except for the few stretches put into it.
class SparseReader final : public ISectorReader {
public:
    SparseReader(uint64_t bytes) : bytes_(bytes) {}
    void Put(uint64_t at, const Buf& b) { pieces_.push_back({at, b}); }
    int ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64Start, int nBytesPerSector,
                    unsigned int* pnSectorsRead) override {
        const uint64_t from = u64Start * nBytesPerSector;
        const uint64_t n = uint64_t(nSectors) * nBytesPerSector;
        if (from + n > bytes_) return 87;
        ++reads;
        std::memset(pBuf, 0, n);
        for (const auto& [at, b] : pieces_) {
            for (size_t i = 0; i < b.size(); ++i) {
                if (at + i >= from && at + i < from + n) pBuf[at + i - from] = b[i];
            }
        }
        *pnSectorsRead = static_cast<unsigned>(nSectors);
        return 0;
    }
    uint64_t SectorLimit(int nBytesPerSector) const override { return bytes_ / nBytesPerSector; }
    size_t reads = 0;

private:
    uint64_t bytes_;
    std::vector<std::pair<uint64_t, Buf>> pieces_;
};

TEST(IsoBmffWalk, FiveGigabyteMovieCostsAFewReads) {
    const uint64_t mdatBytes = 5 * carving::kGiB;
    Buf head = Ftyp("isom", "isomavc1");
    Append(head, Buf{0, 0, 0, 1, 'm', 'd', 'a', 't'});
    for (int s = 56; s >= 0; s -= 8) head.push_back(static_cast<unsigned char>(mdatBytes >> s));
    const uint64_t moovAt = head.size() - 16 + mdatBytes;
    const Buf moov = Box("moov", 3000);
    SparseReader reader(moovAt + moov.size() + 100 * kSector);
    reader.Put(0, head);
    reader.Put(moovAt, moov);
    CarveContext ctx(&reader, kSector, 0);
    ExpectExact(carving::formats::IsoBmffLength(ctx), moovAt + moov.size());
    EXPECT_LE(reader.reads, 4u);
}

// ---- Typing -------------------------------------------------------------------------------

struct BrandCase {
    const char* major;
    const char* compat;
    uint32_t code;
};

class IsoBrands : public ::testing::TestWithParam<BrandCase> {};

TEST_P(IsoBrands, TheFirstRowTypesEveryFamilyByItsBrands) {
    carving::CarveScan scan;
    Buf sector = Ftyp(GetParam().major, GetParam().compat);
    Append(sector, Box("mdat", 400));
    EXPECT_EQ(J::GetDataBufType(scan, sector.data(), sector.size()), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Containers, IsoBrands,
                         ::testing::Values(BrandCase{"isom", "isomiso2avc1mp41", EXT_TYPE_MP4},
                                           BrandCase{"mp41", "mp41", EXT_TYPE_MP4},
                                           BrandCase{"qt  ", "qt  ", EXT_TYPE_MOV},
                                           BrandCase{"3gp4", "3gp4isom", EXT_TYPE_3GP},
                                           BrandCase{"M4A ", "M4A mp42isom", EXT_TYPE_M4A},
                                           BrandCase{"M4V ", "M4V isom", EXT_TYPE_M4V},
                                           BrandCase{"heic", "mif1heic", EXT_TYPE_HEIC},
                                           BrandCase{"mif1", "mif1avifmiaf", EXT_TYPE_AVIF},
                                           BrandCase{"crx ", "crx isom", EXT_TYPE_CR3},
                                           BrandCase{"abcd", "efgh", EXT_TYPE_NONE}));

TEST(ContainerTyping, NewRowsAndOldQuickTimeStarts) {
    carving::CarveScan scan;
    EXPECT_EQ(J::GetExtendNameType("heif"), uint32_t{EXT_TYPE_HEIC});
    EXPECT_EQ(J::GetExtendNameType("webm"), uint32_t{EXT_TYPE_MKV});
    EXPECT_EQ(J::GetExtendNameType("cr3"), uint32_t{EXT_TYPE_CR3});
    const Buf webp = Webp();
    EXPECT_EQ(J::GetDataBufType(scan, webp.data(), webp.size()), uint32_t{EXT_TYPE_WEBP});
    Buf notWebp = webp;
    notWebp[4] = 8;  // the first chunk no longer fits
    EXPECT_EQ(J::GetDataBufType(scan, notWebp.data(), notWebp.size()), uint32_t{EXT_TYPE_NONE});
    Buf bareMovie = Box("wide", 0);
    Append(bareMovie, Box("mdat", 300));
    EXPECT_EQ(J::GetDataBufType(scan, bareMovie.data(), bareMovie.size()), uint32_t{EXT_TYPE_MOV});
    Buf loneBox = Box("free", 600);
    EXPECT_EQ(J::GetDataBufType(scan, loneBox.data(), kSector), uint32_t{EXT_TYPE_NONE});
}

// ---- The carving step takes the structural length ------------------------------------------

TEST(ContainerCarving, EstimatorsHandBackTheStructuralLength) {
    carving::CarveScan scan;
    for (Buf (*make)() : {FaststartMp4, Flv, LiveWebm, Wav, Mpeg2WithEndCode}) {
        const Buf file = make();
        Device dev(file, Tail::kNoise, 5000);
        scan.InitCallBack(nullptr, nullptr, nullptr, 90);
        scan.m_u64ScanSectorCount = 0;
        scan.m_u64SectorTotalCount = dev.bytes.size() / kSector;
        scan.m_ErrorCode = 0;
        char name[64];
        uint32_t type = 0;
        uint64_t length = 0;
        EXPECT_EQ(J::ParseFileBuf(scan, dev.bytes.data(), kSector, 0, 0, dev.bytes.size() / kSector,
                                  -1, 0, static_cast<ISectorReader*>(&dev.reader), kSector, name,
                                  sizeof name, type, length),
                  0);
        EXPECT_EQ(length, file.size()) << type;
    }
}

}  // namespace
