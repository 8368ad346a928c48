// Picture lengths from their own structure: tiny files written by real encoders, followed by
// noise or zeros, measured to the byte; broken starts refused, broken middles left to the old
// end rules; hostile size fields and directory loops bounded. Camera raw files cannot be made
// with the tools at hand, so the raw cases are TIFF files built here with a real Make tag and
// strip layout.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "carving/formats/bmp.h"
#include "carving/formats/gif.h"
#include "carving/formats/jpeg.h"
#include "carving/formats/png.h"
#include "carving/formats/psd.h"
#include "carving/formats/tiff.h"
#include "carving/judge_internal.h"
#include "carving_test_support.h"

namespace {

using carving::CarveContext;
using carving::FormatLength;
using carving_test::Bytes;
using carving_test::kSector;
using J = CFileTypeJudge;
using Blob = std::vector<unsigned char>;

Blob Unhex(const char* hex) {
    Blob out;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return out;
}

// cjpeg -progressive -restart 1 -quality 80, 16x16 (674 bytes): ten scans with tables and
// restart intervals between them, restart markers, stuffed bytes.
const Blob kProgressiveJpeg = Unhex(
    "ffd8ffe000104a46494600010100000100010000ffdb00430006040506050406060506070706080a100a0a09"
    "090a140e0f0c1017141818171416161a1d251f1a1b231c1616202c20232627292a29191f2d302d2830252829"
    "28ffdb0043010707070a080a130a0a13281a161a282828282828282828282828282828282828282828282828"
    "2828282828282828282828282828282828282828282828282828ffc200110800100010030122000211010311"
    "01ffc4001500010100000000000000000000000000000504ffc4001501010100000000000000000000000000"
    "000204ffdd00040001ffda000c030100021003100000010e72d473ff00ffc400171001010101000000000000"
    "00000000000001030211ffdd00040002ffda0008010100010502cd3787164b7fffd06dc613caff00ffc40018"
    "11000203000000000000000000000000000001032122ffdd00040001ffda0008010301013f0186b0cfffc400"
    "191100020301000000000000000000000000020300011231ffda0008010201013f014a4c4b15d9ffc4001b10"
    "000201050000000000000000000000000001220211123132ffdd00040002ffda0008010100063f0277e58a59"
    "527fffd0989ed1ffc400191000020301000000000000000000000000012100114131ffda0008010100013f21"
    "1015f689410e64ffd03d44c2807165ac9fffdd00040001ffda000c030100020003000000109fffc400191101"
    "000203000000000000000000000000010011314151ffda0008010301013f10013ae6b53fffc4001611010101"
    "000000000000000000000000000100b1ffda0008010201013f1060a1abffc4001d1001000300010500000000"
    "000000000000010011214131516171d1ffdd00040002ffda0008010100013f1006bd48e3ce232e141f61ccff"
    "d0a3dbf0899b05d359dcdfb3ffd9");
// ImageMagick, 3x2 Adam7-interlaced (108 bytes).
const Blob kInterlacedPng = Unhex(
    "89504e470d0a1a0a0000000d494844520000000300000002100200000135811d98000000334944415408d701"
    "2800d7ff006b9b7980788c0061c1b7377ac9003a03e9ff863a0038dc82b375a36c9ffaf1c10d2aa1cbbfa2c2"
    "73f6141ac5dcfa520000000049454e44ae426082");
// ImageMagick, 4x3 in four colours (54 bytes).
const Blob kGif = Unhex(
    "47494638396104000300f10000072612315738aa313f549a9821f90400000000002c00000000040003000002"
    "070c328132205200003b");
// ImageMagick, 3x2 32-bit with alpha: a version 5 header (162 bytes).
const Blob kBmpV5Alpha = Unhex(
    "424da2000000000000008a0000007c0000000300000002000000010020000300000018000000000000000000"
    "000000000000000000000000ff0000ff0000ff000000000000ff424752730000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000004000000000000000000"
    "0000000000006858caff87a28cff92e34aff2c4cd3ffa793a0ffc2a719ff");
// ImageMagick, 3x2 LZW: its directory after the strip (320 bytes).
const Blob kLzwTiff = Unhex(
    "49492a0034000000802a0807a1e3b86c3135b2d5ea8208a9f4d704314e0680f9f0ea8b5097cae9116249d4d5"
    "76ba436fc79c040010000001030001000000030000000101030001000000020000000201030003000000fa00"
    "00000301030001000000050000000601030001000000020000000a0103000100000001000000110104000100"
    "0000080000001201030001000000010000001501030001000000030000001601030001000000020000001701"
    "0400010000002b0000001c01030001000000010000002901030002000000000001003d010300010000000200"
    "00003e01050002000000300100003f01050006000000000100000000000010001000100085eb510000008000"
    "c3f5a80000000002cdcc4c0000000001cdcc4c0000008000cdcc4c00000000028fc2f50000000010371aa000"
    "000000022b870a0000002000");
// ImageMagick, 24x4 run-length coded with one layer (268 bytes).
const Blob kRlePsd = Unhex(
    "3842505300010000000000000003000000040000001800080003000000000000001c3842494d03ed00000000"
    "0010000000010001000100000001000100010000008c00000084000100000000000000000000000400000018"
    "00030000000000160001000000160002000000163842494d6e6f726dff0001000000000c0000000000000000"
    "024c310000010003000300030003e9ff80e9aa80e95580e9008000010003000300030003e90080e90080e900"
    "80e9008000010003000300030003e90080e95580e9aa80e9ff80000000000001000300030003000300030003"
    "000300030003000300030003e9ff80e9aa80e95580e90080e90080e90080e90080e90080e90080e95580e9aa"
    "80e9ff80");

enum class Tail { kNoise, kZeros };

// The file at the start of a device of whole sectors, at least two after it, the rest noise
// or zeros.
Blob OnDevice(const Blob& file, Tail tail) {
    Blob device((file.size() / kSector + 3) * kSector, 0);
    std::mt19937 random(7);
    if (tail == Tail::kNoise) {
        for (unsigned char& b : device) b = static_cast<unsigned char>(random());
    }
    std::copy(file.begin(), file.end(), device.begin());
    return device;
}

FormatLength Measure(carving::FormatLengthFunc fn, const Blob& device) {
    CMemorySectorReader reader(device.data(), device.size());
    CarveContext ctx(&reader, kSector, 0);
    return fn(ctx);
}

void ExpectExact(const FormatLength& length, uint64_t bytes) {
    EXPECT_TRUE(length.IsExact());
    EXPECT_EQ(bytes, length.bytes);
}

void ExpectFallback(const FormatLength& length) {
    EXPECT_FALSE(length.IsExact());
    EXPECT_FALSE(length.IsRejected());
}

struct RealFile {
    const char* name;
    const Blob* bytes;
    carving::FormatLengthFunc length;
    uint32_t type;
    ESTIMATE_FUNC estimate;
    // False where the header points at the pixels but cannot tell whether they are all there.
    bool cutIsVisible = true;
};

class PictureRealFileTest : public ::testing::TestWithParam<RealFile> {};

// Typed by the table walk, measured exactly by the walk and by the carving step's estimator,
// whatever follows; cut short and followed by zeros, never taken for whole.
TEST_P(PictureRealFileTest, IsTypedAndMeasuredToTheByteWhateverFollows) {
    carving::CarveScan scan;
    const RealFile& f = GetParam();
    for (Tail tail : {Tail::kNoise, Tail::kZeros}) {
        Blob device = OnDevice(*f.bytes, tail);
        ExpectExact(Measure(f.length, device), f.bytes->size());
        CMemorySectorReader reader(device.data(), device.size());
        scan.SetReadContext(&reader, kSector, 0);
        EXPECT_EQ(f.type, J::GetDataBufType(scan, device.data(), kSector));
        EXPECT_EQ(f.bytes->size(), f.estimate(scan, device.data(), kSector));
    }
    if (!f.cutIsVisible) return;
    Blob cut(f.bytes->begin(), f.bytes->begin() + static_cast<long>(f.bytes->size() * 3 / 4));
    const FormatLength length = Measure(f.length, OnDevice(cut, Tail::kZeros));
    EXPECT_FALSE(length.IsExact() && length.bytes == f.bytes->size());
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, PictureRealFileTest,
    ::testing::Values(RealFile{"jpeg", &kProgressiveJpeg, carving::formats::JpegLength,
                               EXT_TYPE_JPG, carving::formats::GetJPGFileBytesSize},
                      RealFile{"png", &kInterlacedPng, carving::formats::PngLength, EXT_TYPE_PNG,
                               carving::formats::GetPNGFileBytesSize},
                      RealFile{"gif", &kGif, carving::formats::GifLength, EXT_TYPE_GIF,
                               carving::formats::GetGIFFileBytesSize},
                      RealFile{"bmp", &kBmpV5Alpha, carving::formats::BmpLength, EXT_TYPE_BMP,
                               carving::formats::GetBMPFileBytesSize, false},
                      RealFile{"tiff", &kLzwTiff, carving::formats::TiffLength, EXT_TYPE_TIF,
                               carving::formats::GetTIFFileBytesSize, false},
                      RealFile{"psd", &kRlePsd, carving::formats::PsdLength, EXT_TYPE_PSD,
                               carving::formats::GetPSDFileBytesSize}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JpegLengthTest, BrokenStartsAreRefusedAndBrokenMiddlesFallBack) {
    using carving::formats::JpegLength;
    Blob jpeg = kProgressiveJpeg;
    jpeg[3] = 0x00, jpeg[6] = 'j';  // no segment after the start of image, nor JFIF text
    EXPECT_TRUE(Measure(JpegLength, OnDevice(jpeg, Tail::kZeros)).IsRejected());
    jpeg = kProgressiveJpeg;
    jpeg[20] = 0x12;  // the second segment's marker lost
    ExpectFallback(Measure(JpegLength, OnDevice(jpeg, Tail::kNoise)));
    // A tagged JFIF start with a broken length is left to the end-marker rule, as always.
    ExpectFallback(Measure(JpegLength, OnDevice(carving_test::JpegHead().v, Tail::kZeros)));
    // Segments of the largest length chained to the device's end.
    Blob chain = {0xFF, 0xD8};
    for (int i = 0; i < 40; ++i) {
        Blob segment(65537, 0x41);
        segment[0] = 0xFF, segment[1] = 0xFE, segment[2] = 0xFF, segment[3] = 0xFF;
        chain.insert(chain.end(), segment.begin(), segment.end());
    }
    ExpectFallback(Measure(JpegLength, chain));
}

// Noise behind a start-of-image marker is essentially never a JPEG; a real start always is.
TEST(JpegLengthTest, RecogniserNeedsAFittingFirstSegmentAndTheMarkerAfterIt) {
    carving::CarveScan scan;
    std::mt19937 random(11);
    Blob sector(kSector);
    int accepted = 0;
    for (int i = 0; i < 100000; ++i) {
        for (unsigned char& b : sector) b = static_cast<unsigned char>(random());
        sector[0] = 0xFF, sector[1] = 0xD8, sector[2] = 0xFF;
        accepted += carving::formats::IsJpgType(scan, sector.data(), sector.size()) == EXT_TYPE_JPG;
    }
    // Under one in a thousand even with the first three bytes right: below one sector in ten
    // thousand million of noise.
    EXPECT_LE(accepted, 100);
    EXPECT_EQ(EXT_TYPE_JPG, carving::formats::IsJpgType(scan, kProgressiveJpeg.data(), kSector));
    Blob dqtFirst = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    dqtFirst.resize(2 + 2 + 0x43 + 2 + 16);
    dqtFirst[71] = 0xFF, dqtFirst[72] = 0xC0;
    EXPECT_EQ(EXT_TYPE_JPG, carving::formats::IsJpgType(scan, dqtFirst.data(), dqtFirst.size()));
    dqtFirst[72] = 0xD8;
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsJpgType(scan, dqtFirst.data(), dqtFirst.size()));
}

TEST(PngLengthTest, BadChecksumsAndHugeLengthsFallBackAndNoSignatureIsRefused) {
    using carving::formats::PngLength;
    Blob png = kInterlacedPng;
    png[png.size() - 20] ^= 0x01;  // inside the image data: its CRC no longer matches
    ExpectFallback(Measure(PngLength, OnDevice(png, Tail::kNoise)));
    png = kInterlacedPng;
    png[33] = 0x7F, png[34] = 0xFF;  // the chunk after IHDR claims two gigabytes
    ExpectFallback(Measure(PngLength, OnDevice(png, Tail::kNoise)));
    png[0] = 0x88;
    EXPECT_TRUE(Measure(PngLength, OnDevice(png, Tail::kNoise)).IsRejected());
}

TEST(BmpLengthTest, VersionFiveHeadersAreTypedAndDisagreeingSizesFallBack) {
    carving::CarveScan scan;
    using carving::formats::BmpLength;
    EXPECT_EQ(EXT_TYPE_BMP,
              carving::formats::IsBmpType(scan, kBmpV5Alpha.data(), kBmpV5Alpha.size()));
    Blob bmp = kBmpV5Alpha;
    bmp[4] = 0x10;  // the file size field a megabyte past the pixels
    ExpectFallback(Measure(BmpLength, OnDevice(bmp, Tail::kNoise)));
    bmp = kBmpV5Alpha;
    bmp[21] = 0x7F;  // a width of two thousand million pixels
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsBmpType(scan, bmp.data(), bmp.size()));
    ExpectFallback(Measure(BmpLength, OnDevice(bmp, Tail::kNoise)));
}

TEST(GifAndPsdLengthTest, CutFilesAndHugeSectionsFallBack) {
    Blob gif = kGif;
    gif[gif.size() - 1] = 0x00;  // no trailer
    ExpectFallback(Measure(carving::formats::GifLength, OnDevice(gif, Tail::kZeros)));
    Blob psd = kRlePsd;
    psd[30] = 0xFF;  // the resource section's length near four gigabytes
    ExpectFallback(Measure(carving::formats::PsdLength, OnDevice(psd, Tail::kNoise)));
    psd = kRlePsd;
    psd[5] = 7;  // no such version
    ExpectFallback(Measure(carving::formats::PsdLength, OnDevice(psd, Tail::kNoise)));
}

// A little-endian TIFF laid out as a camera writes one: the first directory with the Make
// text, two strips (the second placed before the first), an Exif directory and a second
// directory holding a JPEG preview. Returns the file; its length is its size.
struct TiffLayout {
    const char* magic = "II*\0";
    const char* make = "NIKON CORPORATION";
    bool canonHeader = false;
    bool dngVersion = false;
    bool makeLast = false;  // the Make text after the strips, past the first sector
};

Blob CameraTiff(const TiffLayout& t) {
    const uint32_t ifd0 = t.canonHeader ? 16 : 8;
    const uint16_t entries = t.dngVersion ? 6 : 5;
    const uint32_t exifAt = ifd0 + 2 + 12 * entries + 4 + 32;
    const uint32_t ifd1 = exifAt + 18, dateAt = ifd1 + 30;
    const uint32_t previewAt = dateAt + 20, strip2 = previewAt + 300, strip1 = strip2 + 700;
    const uint32_t makeAt = t.makeLast ? strip1 + 900 : exifAt - 32;
    const size_t makeEnd = makeAt + (std::strlen(t.make) + 2) / 2 * 2;  // padded to a word
    Bytes b(t.makeLast ? makeEnd : strip1 + 900);
    b.Put(0, t.magic, 4).U32(4, ifd0);
    if (t.canonHeader) b.Text(8, "CR").U8(10, 2).U32(12, ifd1);
    size_t e = ifd0 + 2;
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        b.U16(e, tag).U16(e + 2, type).U32(e + 4, count).U32(e + 8, value);
        e += 12;
    };
    b.U16(ifd0, entries);
    entry(0x010F, 2, static_cast<uint32_t>(std::strlen(t.make) + 1), makeAt);
    entry(0x0111, 3, 2, strip1 | (strip2 << 16));
    entry(0x0117, 3, 2, 900 | (700u << 16));
    entry(0x0116, 4, 1, 8);
    entry(0x8769, 4, 1, exifAt);
    if (t.dngVersion) entry(0xC612, 1, 4, 0x00000401);
    b.U32(e, ifd1).Text(makeAt, t.make);
    b.U16(exifAt, 1).U16(exifAt + 2, 0x9003).U16(exifAt + 4, 2).U32(exifAt + 6, 20);
    b.U32(exifAt + 10, dateAt).Text(dateAt, "2024:05:06 07:08:09");
    b.U16(ifd1, 2)
        .U16(ifd1 + 2, 0x0201)
        .U16(ifd1 + 4, 4)
        .U32(ifd1 + 6, 1)
        .U32(ifd1 + 10, previewAt);
    b.U16(ifd1 + 14, 0x0202).U16(ifd1 + 16, 4).U32(ifd1 + 18, 1).U32(ifd1 + 22, 300);
    return b.v;
}

struct RawCase {
    const char* name;
    TiffLayout layout;
    uint32_t type;
};

class CameraRawTest : public ::testing::TestWithParam<RawCase> {};

// Each raw kind is typed by its magic or Make, named by its own extension when carved, and
// ends after its furthest strip.
TEST_P(CameraRawTest, IsTypedByMakeOrMagicAndEndsAfterItsFurthestStrip) {
    carving::CarveScan scan;
    const RawCase& c = GetParam();
    const Blob raw = CameraTiff(c.layout);
    Blob device = OnDevice(raw, Tail::kNoise);
    ExpectExact(Measure(carving::formats::TiffLength, device), raw.size());
    CMemorySectorReader reader(device.data(), device.size());
    char name[64];
    uint32_t type = 0;
    uint64_t length = 0;
    ASSERT_EQ(0, J::ParseFileBuf(scan, device.data(), kSector, 0, 0, device.size() / kSector, -1, 0,
                                 static_cast<ISectorReader*>(&reader), kSector, name, sizeof name,
                                 type, length));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(raw.size(), length);
    EXPECT_EQ(std::string("0.") + c.name, name);
}

INSTANTIATE_TEST_SUITE_P(
    Makes, CameraRawTest,
    ::testing::Values(RawCase{"cr2", {"II*\0", "Canon", true, false}, EXT_TYPE_CR2},
                      RawCase{"nef", {"II*\0", "NIKON CORPORATION", false, false}, EXT_TYPE_NEF},
                      RawCase{"arw", {"II*\0", "SONY", false, false, true}, EXT_TYPE_ARW},
                      RawCase{"dng", {"II*\0", "SONY", false, true}, EXT_TYPE_DNG},
                      RawCase{"orf", {"IIRO", "OLYMPUS IMAGING CORP.", false, false}, EXT_TYPE_ORF},
                      RawCase{"rw2", {"IIU\0", "Panasonic", false, false}, EXT_TYPE_RW2},
                      RawCase{"pef", {"II*\0", "PENTAX", false, false}, EXT_TYPE_PEF},
                      RawCase{"tif", {"II*\0", "Canon", false, false}, EXT_TYPE_TIF}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TiffLengthTest, DirectoryLoopsEndAndUnknownOrImpossibleStripsFallBack) {
    using carving::formats::TiffLength;
    Blob tiff = CameraTiff({});
    const uint32_t ifd1 = carving::Le32(tiff.data() + 8 + 2 + 12 * 5);
    Bytes looped{};
    looped.v = tiff;
    looped.U32(ifd1 + 2 + 24, 8);  // the second directory's next is the first
    ExpectExact(Measure(TiffLength, OnDevice(looped.v, Tail::kNoise)), tiff.size());
    Bytes noCounts{};
    noCounts.v = tiff;
    noCounts.U16(8 + 2 + 24, 0x0118);  // strip byte counts gone
    ExpectFallback(Measure(TiffLength, OnDevice(noCounts.v, Tail::kNoise)));
    Bytes far{};
    far.v = tiff;
    far.U32(8 + 2 + 12 + 8, 0xFFFFFF00);  // the strips far past the device's end
    ExpectFallback(Measure(TiffLength, OnDevice(far.v, Tail::kNoise)));
    Bytes huge{};
    huge.v = tiff;
    huge.U32(8 + 2 + 12 + 4, 0xFFFFFFFF).U32(8 + 2 + 24 + 4, 0xFFFFFFFF);  // four billion strips
    ExpectFallback(Measure(TiffLength, OnDevice(huge.v, Tail::kNoise)));
    Bytes lost{};
    lost.v = tiff;
    lost.U32(4, static_cast<uint32_t>(tiff.size() + 16));  // the first directory cut off
    EXPECT_TRUE(Measure(TiffLength, OnDevice(lost.v, Tail::kZeros)).IsRejected());
}

}  // namespace
