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

using carving::FormatLength;
using namespace carving_test;
using J = CFileTypeJudge;

// cjpeg -progressive -restart 1 -quality 80, 16x16 (674 bytes): ten scans with tables and
// restart intervals between them, restart markers, stuffed bytes.
const Blob kProgressiveJpeg = FromHex(
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
const Blob kInterlacedPng = FromHex(
    "89504e470d0a1a0a0000000d494844520000000300000002100200000135811d98000000334944415408d701"
    "2800d7ff006b9b7980788c0061c1b7377ac9003a03e9ff863a0038dc82b375a36c9ffaf1c10d2aa1cbbfa2c2"
    "73f6141ac5dcfa520000000049454e44ae426082");
// ImageMagick, 4x3 in four colours (54 bytes).
const Blob kGif = FromHex(
    "47494638396104000300f10000072612315738aa313f549a9821f90400000000002c00000000040003000002"
    "070c328132205200003b");
// ImageMagick, 3x2 32-bit with alpha: a version 5 header (162 bytes).
const Blob kBmpV5Alpha = FromHex(
    "424da2000000000000008a0000007c0000000300000002000000010020000300000018000000000000000000"
    "000000000000000000000000ff0000ff0000ff000000000000ff424752730000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000004000000000000000000"
    "0000000000006858caff87a28cff92e34aff2c4cd3ffa793a0ffc2a719ff");
// ImageMagick, 24x4 run-length coded with one layer (268 bytes).
const Blob kRlePsd = FromHex(
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
    const size_t n = (file.size() / kSector + 3) * kSector;
    Blob device = tail == Tail::kNoise ? Noise(n, 7) : Blob(n, 0);
    std::copy(file.begin(), file.end(), device.begin());
    return device;
}

// Cut short and followed by zeros, never taken for whole. (Whole files of each kind are typed
// and carved to the byte in the corpus test.)
TEST(PictureLengthTest, ACutFileIsNeverTakenForWhole) {
    const std::pair<const Blob*, carving::FormatLengthFunc> files[] = {
        {&kProgressiveJpeg, carving::formats::JpegLength},
        {&kInterlacedPng, carving::formats::PngLength},
        {&kGif, carving::formats::GifLength},
        {&kRlePsd, carving::formats::PsdLength}};
    for (const auto& [file, length] : files) {
        const Blob cut = Slice(*file, 0, file->size() * 3 / 4);
        const FormatLength got = Measure(length, OnDevice(cut, Tail::kZeros));
        EXPECT_FALSE(got.IsExact() && got.bytes == file->size()) << file->size();
    }
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
    const RawCase& c = GetParam();
    const Blob raw = CameraTiff(c.layout);
    Blob device = OnDevice(raw, Tail::kNoise);
    EXPECT_TRUE(IsExactLength(Measure(carving::formats::TiffLength, device), raw.size()));
    const Carved carved = CarveAtStart(device);
    ASSERT_EQ(0, carved.rc);
    EXPECT_EQ(c.type, carved.type);
    EXPECT_EQ(raw.size(), carved.length);
    EXPECT_EQ(std::string("0.") + c.name, carved.name);
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

// JPEG segments of the largest length chained to the device's end.
Blob LongestSegmentsToTheEnd() {
    Blob chain = {0xFF, 0xD8};
    for (int i = 0; i < 40; ++i)
        chain =
            Cat(chain, Patched(Blob(65537, 0x41), {{0, 0xFF}, {1, 0xFE}, {2, 0xFF}, {3, 0xFF}}));
    return chain;
}

struct DamagedCase {
    const char* what;
    carving::FormatLengthFunc length;
    Blob device;
    bool refused;  // else measured as a lower bound, left to the old end rules
};

// Broken starts are refused; broken middles, hostile size fields and impossible strips fall
// back without an exact end.
TEST(PictureLengthTest, DamagedAndHostileFilesAreRefusedOrOnlyALowerBound) {
    using namespace carving::formats;
    const Blob tiff = CameraTiff({});
    const Blob& png = kInterlacedPng;
    const DamagedCase cases[] = {
        {"jpeg without a segment or JFIF text", JpegLength,
         OnDevice(Patched(kProgressiveJpeg, {{3, 0x00}, {6, 'j'}}), Tail::kZeros), true},
        {"jpeg second marker lost", JpegLength,
         OnDevice(Patched(kProgressiveJpeg, {{20, 0x12}}), Tail::kNoise), false},
        {"JFIF start with a broken length", JpegLength, OnDevice(JpegHead().v, Tail::kZeros),
         false},
        {"jpeg segments to the device end", JpegLength, LongestSegmentsToTheEnd(), false},
        {"png image data CRC", PngLength,
         OnDevice(Patched(png, {{png.size() - 20, png[png.size() - 20] ^ 1}}), Tail::kNoise),
         false},
        {"png chunk of 2 GiB", PngLength,
         OnDevice(Patched(png, {{33, 0x7F}, {34, 0xFF}}), Tail::kNoise), false},
        {"png signature", PngLength, OnDevice(Patched(png, {{0, 0x88}}), Tail::kNoise), true},
        {"bmp size a megabyte past the pixels", BmpLength,
         OnDevice(Patched(kBmpV5Alpha, {{4, 0x10}}), Tail::kNoise), false},
        {"bmp two thousand million pixels wide", BmpLength,
         OnDevice(Patched(kBmpV5Alpha, {{21, 0x7F}}), Tail::kNoise), false},
        {"gif without trailer", GifLength,
         OnDevice(Patched(kGif, {{kGif.size() - 1, 0x00}}), Tail::kZeros), false},
        {"psd resources near 4 GiB", PsdLength,
         OnDevice(Patched(kRlePsd, {{30, 0xFF}}), Tail::kNoise), false},
        {"psd version", PsdLength, OnDevice(Patched(kRlePsd, {{5, 7}}), Tail::kNoise), false},
        {"tiff strip byte counts gone", TiffLength,
         OnDevice(Bytes(tiff).U16(8 + 2 + 24, 0x0118).v, Tail::kNoise), false},
        {"tiff strips past the device", TiffLength,
         OnDevice(Bytes(tiff).U32(8 + 2 + 12 + 8, 0xFFFFFF00).v, Tail::kNoise), false},
        {"tiff four billion strips", TiffLength,
         OnDevice(Bytes(tiff).U32(8 + 2 + 12 + 4, 0xFFFFFFFF).U32(8 + 2 + 24 + 4, 0xFFFFFFFF).v,
                  Tail::kNoise),
         false},
        {"tiff first directory cut off", TiffLength,
         OnDevice(Bytes(tiff).U32(4, static_cast<uint32_t>(tiff.size() + 16)).v, Tail::kZeros),
         true},
    };
    for (const DamagedCase& c : cases) {
        const FormatLength got = Measure(c.length, c.device);
        EXPECT_FALSE(got.IsExact()) << c.what;
        EXPECT_EQ(c.refused, got.IsRejected()) << c.what;
    }
    // A directory chain that loops back to the first still ends after the furthest strip.
    const uint32_t ifd1 = carving::Le32(tiff.data() + 8 + 2 + 12 * 5);
    EXPECT_TRUE(IsExactLength(
        Measure(TiffLength, OnDevice(Bytes(tiff).U32(ifd1 + 2 + 24, 8).v, Tail::kNoise)),
        tiff.size()));
}

TEST(BmpLengthTest, VersionFiveHeadersAreTypedAndImpossibleWidthsAreNot) {
    carving::CarveScan scan;
    EXPECT_EQ(EXT_TYPE_BMP,
              carving::formats::IsBmpType(scan, kBmpV5Alpha.data(), kBmpV5Alpha.size()));
    const Blob wide = Patched(kBmpV5Alpha, {{21, 0x7F}});
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsBmpType(scan, wide.data(), wide.size()));
}

}  // namespace
