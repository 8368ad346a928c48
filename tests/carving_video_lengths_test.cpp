// Structural lengths of video, audio and still-image containers: each file is measured from
// its own structure and must come back byte-exact whatever follows it on the device.
#include <gtest/gtest.h>

#include "carving/formats/ebml.h"
#include "carving/formats/flv.h"
#include "carving/formats/isobmff.h"
#include "carving/formats/mpeg_ps.h"
#include "carving/formats/riff.h"
#include "carving_test_support.h"

namespace {

using carving::FormatLengthFunc;
using carving::LengthVerdict;
using namespace carving_test;
using Buf = Blob;
using J = CFileTypeJudge;

// Files written by the encoders installed on the build machine (ffmpeg, cwebp), tiny on
// purpose: a 16x16 frame each. (A plain MP4 is carved exactly in the corpus test.)
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

void Append(Buf& out, const Buf& more) {
    out.insert(out.end(), more.begin(), more.end());
}
Buf Text(const char* text) {
    return Buf(text, text + std::strlen(text));
}
Buf Be32(uint32_t x) {
    return Bytes(4).BE32(0, x).v;
}
Buf Filled(size_t n) {
    return Buf(n, 0x5A);
}

// An ISO box of `payload` zero bytes (or the given bytes).
Buf Box(const char* type, size_t payload, Buf body = {}) {
    body.resize(payload);
    return Cat(Cat(Be32(static_cast<uint32_t>(8 + payload)), Text(type)), body);
}
Buf Ftyp(const char* major, const char* compat) {
    const Buf body = Cat(Cat(Text(major), Be32(0)), Text(compat));
    return Box("ftyp", body.size(), body);
}

Buf RiffChunk(const char* id, Buf body) {
    const uint32_t size = static_cast<uint32_t>(body.size());
    if (size % 2 != 0) body.push_back(0);
    return Cat(Bytes(8).Text(0, id).U32(4, size).v, body);
}
Buf RiffForm(const char* riff, const char* form, const Buf& chunks) {
    return RiffChunk(riff, Cat(Text(form), chunks));
}

enum class Tail { kNoise, kZeros, kSameFormat };

// The file, then `tail` bytes of noise or zeros (or a copy of the file and noise), rounded up
// to whole sectors.
Buf OnDevice(const Buf& file, Tail tail, size_t tailBytes = 3000, uint32_t seed = 2463534242u) {
    Buf bytes = tail == Tail::kSameFormat ? Cat(file, file) : file;
    const size_t total = (bytes.size() + tailBytes + kSector - 1) / kSector * kSector;
    uint32_t x = seed;
    while (bytes.size() < total) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        bytes.push_back(tail == Tail::kZeros ? 0 : static_cast<unsigned char>(x));
    }
    return bytes;
}

// ---- Whole files, whatever follows them ----------------------------------------------------

Buf FragmentedMp4() {
    Buf f = Ftyp("isom", "isomiso6mp41");
    for (const Buf& b : {Box("moov", 700), Box("Xcam", 40), Box("moof", 100), Box("mdat", 900),
                         Box("moof", 100), Box("mdat", 33), Box("mfra", 60)}) {
        Append(f, b);
    }
    return f;
}
Buf LargeSizeHeic() {
    Buf f = Cat(Ftyp("heic", "mif1heic"), Box("meta", 300));
    Append(f, Bytes(16).BE32(0, 1).Text(4, "mdat").BE32(12, 16 + 77).v);  // a 64-bit size
    return Cat(f, Filled(77));
}
Buf Wav() {
    const Buf fmt = Bytes(16).U32(0, 0x00010001).U32(4, 8000).U32(8, 8000).U32(12, 0x00080001).v;
    Buf chunks = Cat(RiffChunk("fmt ", fmt),
                     RiffChunk("LIST", Cat(Text("INFO"), RiffChunk("ISFT", Filled(13)))));
    Append(chunks, RiffChunk("data", Filled(401)));  // odd: padded
    return RiffForm("RIFF", "WAVE", chunks);
}
Buf AviWithExtension() {
    const Buf movi = Cat(Text("movi"), RiffChunk("00dc", Filled(700)));
    Buf chunks = RiffChunk("LIST", Cat(Text("hdrl"), RiffChunk("avih", Filled(56))));
    Append(chunks, RiffChunk("LIST", movi));
    Append(chunks, RiffChunk("idx1", Filled(16)));
    return Cat(RiffForm("RIFF", "AVI ", chunks), RiffForm("RIFF", "AVIX", RiffChunk("LIST", movi)));
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
Buf Pack(bool mpeg2, const Buf& packets, unsigned char clock = 1) {
    return Cat(mpeg2 ? Buf{0, 0, 1, 0xBA, 0x44, clock, 4, 0, 4, 1, 0, 0, 3, 0xF9, 0xFF}
                     : Buf{0, 0, 1, 0xBA, 0x21, clock, 1, 0, 1, 0x80, 0, 1},
               packets);
}
Buf Packet(unsigned char id, size_t n) {
    return Cat(Buf{0, 0, 1, id, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)},
               Filled(n));
}
Buf ProgramStream(bool mpeg2, bool endCode) {
    const Buf f = Cat(Pack(mpeg2, Cat(Packet(0xBB, 12), Packet(0xE0, 1900))),
                      Pack(mpeg2, Cat(Packet(0xC0, 300), Packet(0xBE, 40)), 2));
    return endCode ? Cat(f, Buf{0, 0, 1, 0xB9}) : f;
}

struct ExactCase {
    const char* name;
    FormatLengthFunc fn;
    Buf file;
};

const ExactCase kExactCases[] = {
    {"Mp4Fragmented", carving::formats::IsoBmffLength, FragmentedMp4()},
    {"HeicLargeSize", carving::formats::IsoBmffLength, LargeSizeHeic()},
    {"Wav", carving::formats::RiffLength, Wav()},
    {"AviExtended", carving::formats::RiffLength, AviWithExtension()},
    {"Webp", carving::formats::RiffLength, FromHex(kCwebpWebp)},
    {"WebmLive", carving::formats::EbmlLength, FromHex(kFfmpegLiveWebm)},
    {"WebmOpenClusters", carving::formats::EbmlLength, OpenClusterWebm()},
    {"MkvKnownSize", carving::formats::EbmlLength, KnownSizeMkv()},
    {"Flv", carving::formats::FlvLength, FromHex(kFfmpegFlv)},
    {"Mpeg2EndCode", carving::formats::MpegPsLength, ProgramStream(true, true)},
    {"Mpeg1NoEndCode", carving::formats::MpegPsLength, ProgramStream(false, false)},
};

class ExactLength : public ::testing::TestWithParam<ExactCase> {};

// Exact before noise, zeros, another copy or the device's end; the carving step takes the
// structural length.
TEST_P(ExactLength, EndsAtTheLastByteOfItsOwnStructure) {
    const ExactCase& c = GetParam();
    for (const Tail tail : {Tail::kNoise, Tail::kZeros, Tail::kSameFormat}) {
        SCOPED_TRACE(static_cast<int>(tail));
        EXPECT_TRUE(IsExactLength(Measure(c.fn, OnDevice(c.file, tail)), c.file.size()));
    }
    EXPECT_TRUE(IsExactLength(Measure(c.fn, OnDevice(c.file, Tail::kNoise, 0)), c.file.size()));
    const Carved carved = CarveAtStart(OnDevice(c.file, Tail::kNoise, 5000));
    EXPECT_EQ(0, carved.rc);
    EXPECT_EQ(c.file.size(), carved.length);
}

INSTANTIATE_TEST_SUITE_P(Containers, ExactLength, ::testing::ValuesIn(kExactCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A recording of clusters of unknown size ends where something that is not a cluster's child
// begins: random bytes must not pass for a Void, a block or a second timecode.
TEST(OpenClusters, AreNotStretchedByTheRandomBytesAfterThem) {
    const Buf webm = OpenClusterWebm();
    int stretched = 0;
    for (uint32_t seed = 1; seed <= 4000; ++seed) {
        const Buf device = OnDevice(webm, Tail::kNoise, 600, seed);
        stretched += !IsExactLength(Measure(carving::formats::EbmlLength, device), webm.size());
    }
    EXPECT_EQ(0, stretched);
}

// ---- Damaged and hostile files fall back or are refused ------------------------------------

struct FallbackCase {
    const char* name;
    FormatLengthFunc fn;
    Buf file;
    LengthVerdict verdict;
};

const Buf kFlv = FromHex(kFfmpegFlv);
const Buf kWav = Wav();
const Buf kMpeg2 = ProgramStream(true, false);
constexpr LengthVerdict kAtLeast = LengthVerdict::kLowerBound;

const FallbackCase kFallbackCases[] = {
    {"Mp4WithoutMoov", carving::formats::IsoBmffLength,
     Cat(Ftyp("mp42", "isommp42"), Box("mdat", 500)), kAtLeast},
    {"Mp4MdatToFileEnd", carving::formats::IsoBmffLength,
     Cat(Cat(Ftyp("isom", "isom"), Box("moov", 100)), Buf{0, 0, 0, 0, 'm', 'd', 'a', 't'}),
     kAtLeast},
    {"Mp4HugeLargeSize", carving::formats::IsoBmffLength,
     Cat(Cat(Ftyp("isom", "isom"), Box("moov", 100)),
         Buf{0, 0, 0, 1, 'm', 'd', 'a', 't', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}),
     kAtLeast},
    {"UnknownBrand", carving::formats::IsoBmffLength, Ftyp("xxxx", "yyyy"),
     LengthVerdict::kNotThisFormat},
    // The RIFF size no longer the chunks' sum.
    {"WavSizeMismatch", carving::formats::RiffLength,
     Patched(kWav, {{4, static_cast<unsigned char>(kWav[4] - 2)}}), kAtLeast},
    {"WavHugeRiff", carving::formats::RiffLength,
     Patched(kWav, {{4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {7, 0x7F}}), kAtLeast},
    {"MkvHugeSegment", carving::formats::EbmlLength, Patched(KnownSizeMkv(), {{0x29, 0x7F}}),
     kAtLeast},
    {"NotMatroska", carving::formats::EbmlLength,
     Patched(FromHex(kFfmpegLiveWebm), {{0x18, 'w'}, {0x19, 'x'}, {0x1A, 'b'}, {0x1B, 'm'}}),
     LengthVerdict::kNotThisFormat},
    // The first tag's back-pointer.
    {"FlvBadBackPointer", carving::formats::FlvLength,
     Patched(kFlv, {{13 + 11 + 0x9F + 3, kFlv[13 + 11 + 0x9F + 3] ^ 1}}), kAtLeast},
    {"FlvHugeTag", carving::formats::FlvLength, Patched(kFlv, {{14, 0xFF}, {15, 0xFF}, {16, 0xFF}}),
     kAtLeast},
    {"FlvBadHeader", carving::formats::FlvLength, Patched(kFlv, {{8, 10}}),
     LengthVerdict::kNotThisFormat},
    {"MpegOnePack", carving::formats::MpegPsLength, Slice(kMpeg2, 0, 15 + 18 + 1906), kAtLeast},
    {"MpegUnknownCode", carving::formats::MpegPsLength, Cat(kMpeg2, Buf{0, 0, 1, 0x42, 0xFF, 0xFF}),
     kAtLeast},
    {"MpegHugePes", carving::formats::MpegPsLength,
     Cat(Pack(true, Packet(0xBB, 12)), Buf{0, 0, 1, 0xE0, 0xFF, 0xFF}), kAtLeast},
};

class FallsBack : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(FallsBack, NeverClaimsAnExactEnd) {
    const FallbackCase& c = GetParam();
    EXPECT_EQ(Measure(c.fn, OnDevice(c.file, Tail::kNoise, 600)).verdict, c.verdict);
}

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
    const Buf head = Cat(Ftyp("isom", "isomavc1"), Bytes(16)
                                                       .BE32(0, 1)
                                                       .Text(4, "mdat")
                                                       .BE32(8, mdatBytes >> 32)
                                                       .BE32(12, uint32_t(mdatBytes))
                                                       .v);
    const uint64_t moovAt = head.size() - 16 + mdatBytes;
    const Buf moov = Box("moov", 3000);
    SparseReader reader(moovAt + moov.size() + 100 * kSector);
    reader.Put(0, head);
    reader.Put(moovAt, moov);
    carving::CarveContext ctx(&reader, kSector, 0);
    EXPECT_TRUE(IsExactLength(carving::formats::IsoBmffLength(ctx), moovAt + moov.size()));
    EXPECT_LE(reader.reads, 4u);
}

// ---- Typing -------------------------------------------------------------------------------

struct BrandCase {
    const char* major;
    const char* compat;
    uint32_t code;
};

// (Movies, M4A, HEIC and AVIF files by real encoders are typed in the corpus test.)
class IsoBrands : public ::testing::TestWithParam<BrandCase> {};

TEST_P(IsoBrands, TheFirstRowTypesEveryFamilyByItsBrands) {
    carving::CarveScan scan;
    const Buf sector = Cat(Ftyp(GetParam().major, GetParam().compat), Box("mdat", 400));
    EXPECT_EQ(J::GetDataBufType(scan, sector.data(), sector.size()), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Containers, IsoBrands,
                         ::testing::Values(BrandCase{"isom", "isomiso2avc1mp41", EXT_TYPE_MP4},
                                           BrandCase{"mp41", "mp41", EXT_TYPE_MP4},
                                           BrandCase{"3gp4", "3gp4isom", EXT_TYPE_3GP},
                                           BrandCase{"M4V ", "M4V isom", EXT_TYPE_M4V},
                                           BrandCase{"crx ", "crx isom", EXT_TYPE_CR3},
                                           BrandCase{"abcd", "efgh", EXT_TYPE_NONE}));

TEST(ContainerTyping, WebpNeedsAFittingChunkAndOldQuickTimeStartsAreMovies) {
    carving::CarveScan scan;
    const Buf webp = FromHex(kCwebpWebp);
    EXPECT_EQ(J::GetDataBufType(scan, webp.data(), webp.size()), uint32_t{EXT_TYPE_WEBP});
    Buf notWebp = webp;
    notWebp[4] = 8;  // the first chunk no longer fits
    EXPECT_EQ(J::GetDataBufType(scan, notWebp.data(), notWebp.size()), uint32_t{EXT_TYPE_NONE});
    const Buf bareMovie = Cat(Box("wide", 0), Box("mdat", 300));
    EXPECT_EQ(J::GetDataBufType(scan, bareMovie.data(), bareMovie.size()), uint32_t{EXT_TYPE_MOV});
    EXPECT_EQ(J::GetDataBufType(scan, Box("free", 600).data(), kSector), uint32_t{EXT_TYPE_NONE});
}

}  // namespace
