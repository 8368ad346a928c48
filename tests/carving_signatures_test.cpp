// The signature table and its recognisers: row order, lookups by extension, the
// device-reading recognisers and the hostile or short buffers they must refuse.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "carving/file_type_judge.h"
#include "carving/sector_reader.h"
#include "carving_test_support.h"

namespace {

using carving_test::Bytes;
constexpr int kSector = 512;

// A device of sectors built in memory, with the judge's context pointed at one of them.
struct Device {
    std::vector<unsigned char> bytes;
    CMemorySectorReader reader{nullptr, 0};
    explicit Device(size_t sectors)
        : bytes(sectors * kSector, 0), reader(bytes.data(), bytes.size()) {}
    unsigned char* Sector(size_t s) { return bytes.data() + s * kSector; }
    void Put(size_t s, const Bytes& b) {
        std::memcpy(Sector(s), b.data(), std::min(b.size(), bytes.size() - s * kSector));
    }
    uint32_t Type(size_t s, int checkTs = 1) {
        CFileTypeJudge::SetReadContext(&reader, kSector, s);
        CFileTypeJudge::m_bIsNeedCheckTsFileRange = checkTs;
        return CFileTypeJudge::GetDataBufType(Sector(s), kSector);
    }
};

Bytes JpegJfif() {
    static const unsigned char soi[] = {0xFF, 0xD8, 0xFF, 0xE0};
    return Bytes().Put(0, soi, 4).Text(6, "JFIF");
}

TEST(CarvingTableTest, HoldsEightySevenRowsInTheFixedOrder) {
    size_t rows = 0;
    while (szExtendNameAndType[rows].uType != EXT_TYPE_NONE) ++rows;
    EXPECT_EQ(87u, rows);
    EXPECT_EQ(nullptr, szExtendNameAndType[87].pszExtendName);
    const struct {
        size_t row;  // 1-based, as listed
        const char* ext;
        uint32_t code;
    } spots[] = {{1, "mpeg", 15}, {4, "mp4", 18},  {9, "wma", 24},   {15, "ts", 20},
                 {25, "fla", 44}, {29, "jpg", 10}, {37, "ico", 46},  {38, "doc", 0},
                 {52, "ole", 2},  {53, "docx", 1}, {70, "mso07", 7}, {75, "zip", 35},
                 {78, "exe", 41}, {81, "gho", 9},  {85, "fla", 44},  {87, "ico", 46}};
    for (const auto& spot : spots) {
        EXPECT_STREQ(spot.ext, szExtendNameAndType[spot.row - 1].pszExtendName) << spot.row;
        EXPECT_EQ(spot.code, szExtendNameAndType[spot.row - 1].uType) << spot.row;
    }
    // Executables and disk images are typed but never carved.
    for (size_t row : {78u, 79u, 80u, 81u}) {
        EXPECT_EQ(nullptr, szExtendNameAndType[row - 1].pfnEstimate);
    }
}

TEST(CarvingTableTest, LooksUpExtensionsIgnoringCase) {
    EXPECT_EQ(EXT_TYPE_JPG, CFileTypeJudge::GetExtendNameType("JPEG"));
    EXPECT_EQ(EXT_TYPE_XLS, CFileTypeJudge::GetExtendNameType("Ett"));
    EXPECT_EQ(EXT_TYPE_FLA, CFileTypeJudge::GetExtendNameType("fla"));
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::GetExtendNameType("txt"));
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::GetExtendNameType(nullptr));
    EXPECT_STREQ("mpeg", CFileTypeJudge::GetTypeExtendName(EXT_TYPE_MPEG));
    EXPECT_STREQ("fla", CFileTypeJudge::GetTypeExtendName(EXT_TYPE_FLA));
    EXPECT_STREQ("wmv", CFileTypeJudge::GetTypeExtendName(EXT_TYPE_WMV));
    EXPECT_EQ(nullptr, CFileTypeJudge::GetTypeExtendName(EXT_TYPE_NONE));
}

TEST(CarvingTableTest, CompoundDocumentWalksToFlaButMatchesItsOfficeExtension) {
    Device dev(8);
    static const unsigned char magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    dev.Put(0, Bytes().Put(0, magic, 8).U16(30, 9).U32(48, 1));
    dev.Put(1, Bytes().U16(0, 0x0809).U16(2, 0x0010).U16(4, 0x0600));  // a BOF record
    EXPECT_EQ(EXT_TYPE_FLA, dev.Type(0));
    EXPECT_EQ(1, CFileTypeJudge::IsFileTypeMatching(dev.Sector(0), kSector, "xls",
                                                    static_cast<ISectorReader*>(&dev.reader),
                                                    kSector, 0));
    EXPECT_EQ(0, CFileTypeJudge::IsFileTypeMatching(dev.Sector(0), kSector, "doc",
                                                    static_cast<ISectorReader*>(&dev.reader),
                                                    kSector, 0));
}

TEST(CarvingTableTest, CompoundDocumentIsTypedByClassIdThenByStreamName) {
    Device dev(8);
    static const unsigned char magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    dev.Put(0, Bytes().Put(0, magic, 8).U16(30, 9).U32(48, 2));
    CFileTypeJudge::SetReadContext(&dev.reader, kSector, 0);
    EXPECT_EQ(EXT_TYPE_OLE, CFileTypeJudge::GetOffice2003Type(dev.Sector(0), kSector));
    dev.Put(
        3, Bytes().U32(80, 0x64818D10).U32(84, 0x11CF4F9B).U32(88, 0xAA00EA86).U32(92, 0xE829B900));
    EXPECT_EQ(EXT_TYPE_PPT, CFileTypeJudge::GetOffice2003Type(dev.Sector(0), kSector));
    Bytes named;
    const char16_t name[] = u"workbook";
    named.Put(128, name, sizeof name);
    dev.Put(3, named);
    EXPECT_EQ(EXT_TYPE_XLS, CFileTypeJudge::GetOffice2003Type(dev.Sector(0), kSector));
    // Unreadable sectors leave the plain compound-document type.
    CMemorySectorReader empty(nullptr, 0);
    CFileTypeJudge::SetReadContext(&empty, kSector, 0);
    EXPECT_EQ(EXT_TYPE_OLE, CFileTypeJudge::GetOffice2003Type(dev.Sector(0), kSector));
}

TEST(CarvingTableTest, UnknownExtensionMatchesWithoutReading) {
    Device dev(2);
    EXPECT_EQ(1, CFileTypeJudge::IsFileTypeMatching(dev.Sector(0), kSector, "txt",
                                                    static_cast<ISectorReader*>(&dev.reader),
                                                    kSector, 0));
    EXPECT_EQ(0u, dev.reader.ReadCount());
    EXPECT_EQ(0, CFileTypeJudge::IsFileTypeMatching(dev.Sector(0), kSector, "jpg",
                                                    static_cast<ISectorReader*>(&dev.reader),
                                                    kSector, 0));
}

TEST(CarvingTableTest, DispatchedWalkAgreesWithPlainWalk) {
    std::mt19937 rng(7);
    Device dev(64);
    for (auto& b : dev.bytes) b = static_cast<unsigned char>(rng());
    // Seed the first bytes with every lead byte the table knows, so each path is taken.
    for (size_t s = 0; s < 64; ++s) dev.Sector(s)[0] = static_cast<unsigned char>(s * 4);
    for (size_t s = 0; s < 64; ++s) {
        for (size_t len : {0u, 1u, 3u, 8u, 16u, 40u, 512u}) {
            CFileTypeJudge::SetReadContext(&dev.reader, kSector, s);
            const uint32_t fast = CFileTypeJudge::GetDataBufType(dev.Sector(s), len);
            CFileTypeJudge::SetReadContext(&dev.reader, kSector, s);
            EXPECT_EQ(fast, CFileTypeJudge::GetDataBufTypeByFullWalk(dev.Sector(s), len));
        }
    }
}

TEST(CarvingRecogniserTest, ShortAndNullBuffersAreNotRecognised) {
    const Bytes jpeg = JpegJfif();
    EXPECT_EQ(EXT_TYPE_JPG, CFileTypeJudge::IsJpgType(jpeg.data(), 16));
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::IsJpgType(jpeg.data(), 15));
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::GetDataBufType(nullptr, 512));
    // An ID3v2 header is ten bytes; a shorter buffer cannot show its size bytes.
    const Bytes mp3 = Bytes().Text(0, "ID3").U8(3, 4);
    EXPECT_EQ(EXT_TYPE_MP3, CFileTypeJudge::IsMp3Type(mp3.data(), 10));
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::IsMp3Type(mp3.data(), 9));
    const Bytes sevenZip = Bytes().Put(0, "\x37\x7A\xBC\xAF\x27", 5);
    EXPECT_EQ(EXT_TYPE_7Z, CFileTypeJudge::Is7zType(sevenZip.data(), 5));
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::Is7zType(sevenZip.data(), 4));
    const Bytes pe = Bytes().Text(0, "MZ").U32(60, 480).Text(480, "PE").U16(502, 0x0002);
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::IsPeType(pe.data(), 511));
}

TEST(CarvingRecogniserTest, ExecutablesAreTypedByTheirCharacteristics) {
    Bytes pe = Bytes().Text(0, "MZ").U32(60, 128).Text(128, "PE").U16(150, 0x0102);
    EXPECT_EQ(EXT_TYPE_EXE, CFileTypeJudge::GetDataBufType(pe.data(), pe.size()));
    pe.U16(150, 0x2102);
    EXPECT_EQ(EXT_TYPE_DLL, CFileTypeJudge::GetDataBufType(pe.data(), pe.size()));
    pe.U16(150, 0x1002);
    EXPECT_EQ(EXT_TYPE_SYS, CFileTypeJudge::GetDataBufType(pe.data(), pe.size()));
    pe.U16(150, 0x2100);  // not an executable image
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::GetDataBufType(pe.data(), pe.size()));
    pe.U16(150, 0x0102).U32(60, 489);  // header beyond the first sector's reach
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::IsPeType(pe.data(), pe.size()));
}

TEST(CarvingRecogniserTest, MpegNeedsItsSecondHeaderWithinTheWindow) {
    static const unsigned char pack[] = {0, 0, 1, 0xBA};
    static const unsigned char system[] = {0, 0, 1, 0xBB};
    EXPECT_EQ(EXT_TYPE_MPEG, CFileTypeJudge::GetDataBufType(
                                 Bytes().Put(0, pack, 4).Put(14, system, 4).data(), 512));
    EXPECT_EQ(EXT_TYPE_MPEG,
              CFileTypeJudge::IsMpgType(Bytes().Put(0, pack, 4).Put(28, system, 4).data(), 32));
    EXPECT_EQ(EXT_TYPE_NONE,
              CFileTypeJudge::IsMpgType(Bytes().Put(0, pack, 4).Put(29, system, 4).data(), 512));
}

TEST(CarvingRecogniserTest, IconNeedsItsImagesBackToBack) {
    Bytes ico = Bytes().U16(2, 1).U16(4, 2);
    ico.U32(6 + 8, 100).U32(6 + 12, 38);
    ico.U32(22 + 8, 50).U32(22 + 12, 138);
    EXPECT_EQ(EXT_TYPE_ICO, CFileTypeJudge::GetDataBufType(ico.data(), ico.size()));
    ico.U32(22 + 12, 140);
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::GetDataBufType(ico.data(), ico.size()));
    // A directory longer than the buffer is refused rather than read past its end.
    Bytes big = Bytes(64).U16(2, 1).U16(4, 4);
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::IsIcoType(big.data(), big.size()));
}

TEST(CarvingRecogniserTest, TrueTypeFontsOfDebianAreRecognised) {
    const char* path = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "fonts-dejavu-core not installed";
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> first(512);
    in.read(reinterpret_cast<char*>(first.data()), 512);
    EXPECT_EQ(EXT_TYPE_TTF, CFileTypeJudge::GetDataBufType(first.data(), first.size()));
    // A table pointing into the directory is not a font.
    Bytes bad = Bytes().BE32(0, 0x00010000).BE16(4, 1).BE16(6, 16).BE16(8, 1).BE16(10, 1);
    bad.Text(12, "glyf").BE32(20, 12).BE32(24, 10);
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::IsTtfType(bad.data(), bad.size()));
    bad.BE32(20, 28);
    EXPECT_EQ(EXT_TYPE_TTF, CFileTypeJudge::IsTtfType(bad.data(), bad.size()));
}

TEST(CarvingRecogniserTest, Mp3WithoutTagIsNotRecognisedByAnyRow) {
    static const unsigned char frame[] = {0xFF, 0xFB, 0x90, 0x64};
    Bytes mp3 = Bytes().Put(0, frame, 4);
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::GetDataBufTypeByFullWalk(mp3.data(), mp3.size()));
}

TEST(CarvingRecogniserTest, MtsContinuationIsRefusedWhileAnMtsFileIsMeasured) {
    static const unsigned char pat[] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
    Bytes mts = Bytes().U32(0, 1234).Put(8, pat, 8);
    CFileTypeJudge::m_bIsMtsFileHead = 0;
    EXPECT_EQ(EXT_TYPE_MTS, CFileTypeJudge::IsMtsType(mts.data(), mts.size()));
    CFileTypeJudge::m_bIsMtsFileHead = 1;
    EXPECT_EQ(EXT_TYPE_NONE, CFileTypeJudge::IsMtsType(mts.data(), mts.size()));
    mts.U32(0, 0);
    EXPECT_EQ(EXT_TYPE_MTS, CFileTypeJudge::IsMtsType(mts.data(), mts.size()));
    CFileTypeJudge::m_bIsMtsFileHead = 0;
}

// A transport stream of whole packets from device sector `first` on.
void PutTransportStream(Device& dev, size_t first, size_t packets) {
    unsigned char* p = dev.Sector(first);
    for (size_t i = 0; i < packets; ++i) {
        p[i * 188] = 0x47;
        p[i * 188 + 1] = 0x40;
        p[i * 188 + 3] = 0x10;
    }
}

TEST(CarvingRecogniserTest, TransportStreamStartsOnlyWhereNoStreamRunsBefore) {
    Device dev(40);
    PutTransportStream(dev, 6, 22);
    EXPECT_EQ(EXT_TYPE_TS, dev.Type(6));
    // A packet ending exactly where sector 6 begins: sector 6 is the middle of a stream.
    dev.Sector(5)[kSector - 188] = 0x47;
    EXPECT_EQ(EXT_TYPE_NONE, dev.Type(6, 1));
    EXPECT_EQ(EXT_TYPE_TS, dev.Type(6, 0));
    // Zero bytes after the sync byte are not a packet header.
    PutTransportStream(dev, 20, 22);
    EXPECT_EQ(EXT_TYPE_TS, dev.Type(20));
    dev.Sector(20)[1] = 0;
    dev.Sector(20)[3] = 0;
    EXPECT_EQ(EXT_TYPE_NONE, dev.Type(20));
    // Too few packets after the candidate.
    PutTransportStream(dev, 30, 20);
    EXPECT_EQ(EXT_TYPE_NONE, dev.Type(30));
}

TEST(CarvingRecogniserTest, TransportStreamInsideACarvedRangeIsRefused) {
    Device dev(40);
    PutTransportStream(dev, 10, 22);
    CFileTypeJudge::ClearTsFileRanges();
    EXPECT_EQ(EXT_TYPE_TS, dev.Type(10));
    CFileTypeJudge::m_tsFileRangeVec.push_back({8, 12});
    EXPECT_EQ(EXT_TYPE_NONE, dev.Type(10));
    CFileTypeJudge::ClearTsFileRanges();
}

TEST(CarvingRecogniserTest, FileSystemSectorsAreTold) {
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(Bytes().Text(0, "FILE").data(), 512));
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(Bytes().Text(0, "INDX").data(), 512));
    const char16_t ntfs[] = u"NTFS";
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(
                     Bytes().Text(0, "RSTR").Put(300, ntfs, 8).data(), 512));
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(Bytes().Text(0, "RSTR").data(), 512));
    const char16_t sta[] = u"$STA";
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(Bytes().Put(0, sta, 8).data(), 512));
    Bytes boot = Bytes().U8(0, 0xEB).U8(2, 0x90).Text(3, "MSWIN4.1");
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(boot.data(), 512));
    boot.Text(3, "mkfs.fat");
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(boot.data(), 512));
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(Bytes().data(), 512));
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(Bytes().Text(0, "FILE").data(), 31));
}

}  // namespace
