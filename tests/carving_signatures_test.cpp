// The signature table and its recognisers: lookups by extension, the recognisers that read the
// device on from the first sector, and the hostile or short buffers they must refuse.
#include <gtest/gtest.h>

#include "carving/format_family.h"
#include "carving/formats/compound.h"
#include "carving/formats/ico.h"
#include "carving/formats/mpeg_ps.h"
#include "carving/formats/mpeg_ts.h"
#include "carving/formats/pe.h"
#include "carving/formats/ttf.h"
#include "carving_test_support.h"

namespace {

using carving_test::Bytes;
using carving_test::Device;
using carving_test::kSector;
using J = CFileTypeJudge;

const unsigned char kCompound[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

int Matches(Device& dev, const char* ext) {
    return J::IsFileTypeMatching(dev.Sector(0), kSector, ext,
                                 static_cast<ISectorReader*>(&dev.reader), kSector, 0);
}

TEST(CarvingTableTest, LooksUpExtensionsIgnoringCaseAndNamesACodeByItsFirstRow) {
    EXPECT_EQ(EXT_TYPE_XLS, J::GetExtendNameType("Ett"));
    EXPECT_EQ(EXT_TYPE_NONE, J::GetExtendNameType("txt"));
    EXPECT_EQ(EXT_TYPE_NONE, J::GetExtendNameType(nullptr));
    EXPECT_STREQ("mpeg", J::GetTypeExtendName(EXT_TYPE_MPEG));
    EXPECT_EQ(nullptr, J::GetTypeExtendName(EXT_TYPE_NONE));
}

// A file listed by name and the same bytes carved at its start are one file only when the two
// extensions are of one family; otherwise the carved file may be another file's data.
TEST(CarvingTableTest, ANamedFileAndItsCarvedCopyAreOfOneFamily) {
    struct Case {
        const char *named, *carved;
        bool same;
    };
    for (const Case& c : std::vector<Case>{{"JPEG", "jpg", true},
                                           {"thm", "jpg", true},
                                           {"odt", "zip", true},
                                           {"docx", "zip", true},
                                           {"m4v", "mp4", true},
                                           {"MOV", "mp4", true},
                                           {"nef", "tif", true},
                                           {"webm", "mkv", true},
                                           {"", "", true},
                                           {"txt", "jpg", false},
                                           {"png", "jpg", false},
                                           {"zip", "mp4", false},
                                           {"doc", "docx", false},
                                           {"jpgx", "jpg", false},
                                           {"", "jpg", false}}) {
        EXPECT_EQ(carving::SameFormatFamily(c.named, c.carved), c.same) << c.named;
    }
}

TEST(CarvingTableTest, CompoundDocumentIsTypedByItsContentAndMatchesItsOfficeExtension) {
    Device dev(8);
    dev.Put(0, Bytes().Put(0, kCompound, 8).U16(30, 9).U32(48, 1));
    dev.Put(kSector, Bytes().U16(0, 0x0809).U16(2, 0x0010).U16(4, 0x0600));  // a BOF record
    EXPECT_EQ(EXT_TYPE_XLS, dev.Type(0));
    EXPECT_EQ(1, Matches(dev, "xls"));
    EXPECT_EQ(0, Matches(dev, "doc"));
    // An extension the table does not know matches without a read; a known one must match.
    const size_t reads = dev.reader.ReadCount();
    EXPECT_EQ(1, Matches(dev, "txt"));
    EXPECT_EQ(reads, dev.reader.ReadCount());
    EXPECT_EQ(0, Matches(dev, "jpg"));
}

TEST(CarvingTableTest, CompoundDocumentIsTypedByClassIdThenByStreamName) {
    carving::CarveScan scan;
    Device dev(8);
    dev.Put(0, Bytes().Put(0, kCompound, 8).U16(30, 9).U32(48, 2));
    scan.SetReadContext(&dev.reader, kSector, 0);
    EXPECT_EQ(EXT_TYPE_OLE, carving::formats::GetOffice2003Type(scan, dev.Sector(0), kSector));
    dev.Put(
        3 * kSector,
        Bytes().U32(80, 0x64818D10).U32(84, 0x11CF4F9B).U32(88, 0xAA00EA86).U32(92, 0xE829B900));
    EXPECT_EQ(EXT_TYPE_PPT, carving::formats::GetOffice2003Type(scan, dev.Sector(0), kSector));
    const char16_t name[] = u"workbook";
    dev.Put(3 * kSector, Bytes().Put(128, name, sizeof name));
    EXPECT_EQ(EXT_TYPE_XLS, carving::formats::GetOffice2003Type(scan, dev.Sector(0), kSector));
    // Unreadable sectors leave the plain compound-document type.
    CMemorySectorReader empty(nullptr, 0);
    scan.SetReadContext(&empty, kSector, 0);
    EXPECT_EQ(EXT_TYPE_OLE, carving::formats::GetOffice2003Type(scan, dev.Sector(0), kSector));
}

TEST(CarvingRecogniserTest, ShortAndNullBuffersAreNotRecognised) {
    // (The fewest bytes each kind needs, one byte short refused, is the corpus test's.)
    carving::CarveScan scan;
    EXPECT_EQ(EXT_TYPE_NONE, J::GetDataBufType(scan, nullptr, 512));
    EXPECT_EQ(EXT_TYPE_OLE, carving::formats::GetOffice2003Type(scan, nullptr, 0));
    const Bytes pe = Bytes().Text(0, "MZ").U32(60, 480).Text(480, "PE").U16(502, 0x0002);
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsPeType(scan, pe.data(), 511));
    // A raw audio frame without a tag is no row's file.
    const Bytes frame = Bytes().Put(0, "\xFF\xFB\x90\x64", 4);
    EXPECT_EQ(EXT_TYPE_NONE, J::GetDataBufTypeByFullWalk(scan, frame.data(), frame.size()));
}

TEST(CarvingRecogniserTest, ExecutablesAreTypedByTheirCharacteristics) {
    carving::CarveScan scan;
    Bytes pe = carving_test::PeImage();
    const struct {
        uint16_t flags;
        uint32_t type;
    } cases[] = {{0x0102, EXT_TYPE_EXE},
                 {0x2102, EXT_TYPE_DLL},
                 {0x1002, EXT_TYPE_SYS},
                 {0x2100, EXT_TYPE_NONE}};  // not an executable image
    for (const auto& c : cases)
        EXPECT_EQ(c.type, J::GetDataBufType(scan, pe.U16(150, c.flags).data(), pe.size()))
            << c.flags;
    EXPECT_EQ(EXT_TYPE_NONE,
              carving::formats::IsPeType(scan, Bytes(pe).Text(128, "NE").data(), pe.size()));
    pe.U16(150, 0x0102).U32(60, 489);  // header beyond the first sector's reach
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsPeType(scan, pe.data(), pe.size()));
}

TEST(CarvingRecogniserTest, MpegNeedsItsSecondHeaderWithinTheWindow) {
    carving::CarveScan scan;
    const auto mpeg = [](size_t system) {
        return Bytes().Put(0, "\0\0\1\xBA", 4).Put(system, "\0\0\1\xBB", 4);
    };
    EXPECT_EQ(EXT_TYPE_MPEG, J::GetDataBufType(scan, mpeg(14).data(), 512));
    EXPECT_EQ(EXT_TYPE_MPEG, carving::formats::IsMpgType(scan, mpeg(28).data(), 32));
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsMpgType(scan, mpeg(29).data(), 512));
}

TEST(CarvingRecogniserTest, IconNeedsItsImagesBackToBack) {
    carving::CarveScan scan;
    Bytes ico = Bytes().U16(2, 1).U16(4, 2).U32(14, 100).U32(18, 38).U32(30, 50).U32(34, 138);
    EXPECT_EQ(EXT_TYPE_ICO, J::GetDataBufType(scan, ico.data(), ico.size()));
    EXPECT_EQ(EXT_TYPE_NONE, J::GetDataBufType(scan, ico.U32(34, 140).data(), ico.size()));
    // A directory longer than the buffer is refused rather than read past its end.
    const Bytes big = Bytes(64).U16(2, 1).U16(4, 4);
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsIcoType(scan, big.data(), big.size()));
}

TEST(CarvingRecogniserTest, FontTableMustLieBeyondTheTableDirectory) {
    carving::CarveScan scan;
    Bytes ttf = Bytes().BE32(0, 0x00010000).BE16(4, 1).BE16(6, 16).BE16(8, 1).BE16(10, 1);
    ttf.Text(12, "glyf").BE32(20, 27).BE32(24, 10);  // one byte inside the directory
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsTtfType(scan, ttf.data(), ttf.size()));
    EXPECT_EQ(EXT_TYPE_TTF, carving::formats::IsTtfType(scan, ttf.BE32(20, 28).data(), ttf.size()));
}

TEST(CarvingRecogniserTest, MtsContinuationIsRefusedWhileAnMtsFileIsMeasured) {
    carving::CarveScan scan;
    Bytes mts = Bytes().U32(0, 1234).Put(8, "\x00\x00\xB0\x11\x00\x00\xC1\x00", 8);
    scan.m_bIsMtsFileHead = 0;
    EXPECT_EQ(EXT_TYPE_MTS, carving::formats::IsMtsType(scan, mts.data(), mts.size()));
    scan.m_bIsMtsFileHead = 1;
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsMtsType(scan, mts.data(), mts.size()));
    EXPECT_EQ(EXT_TYPE_MTS, carving::formats::IsMtsType(scan, mts.U32(0, 0).data(), mts.size()));
    scan.m_bIsMtsFileHead = 0;
}

// A transport stream of whole packets from device sector `first` on.
void PutTransportStream(Device& dev, size_t first, size_t packets) {
    for (size_t i = 0; i < packets; ++i) {
        unsigned char* p = dev.Sector(first) + i * 188;
        p[0] = 0x47;
        p[1] = 0x40;
        p[3] = 0x10;
    }
}

TEST(CarvingRecogniserTest, TransportStreamStartsOnlyWhereNoStreamRunsBefore) {
    Device dev(40);
    PutTransportStream(dev, 6, 22);
    // Not inside a stream already carved, whose range holds both its end sectors.
    const struct {
        uint64_t first, last;
        uint32_t type;
    } carved[] = {
        {4, 6, EXT_TYPE_NONE}, {6, 9, EXT_TYPE_NONE}, {7, 9, EXT_TYPE_TS}, {3, 5, EXT_TYPE_TS}};
    for (const auto& range : carved) {
        dev.scan.ClearTsFileRanges();
        dev.scan.m_tsFileRangeVec.push_back({range.first, range.last});
        EXPECT_EQ(range.type, dev.Type(6)) << range.first;
    }
    dev.scan.ClearTsFileRanges();
    // A packet ending exactly where sector 6 begins: sector 6 is the middle of a stream.
    dev.Sector(5)[kSector - 188] = 0x47;
    EXPECT_EQ(EXT_TYPE_NONE, dev.Type(6, 1));
    EXPECT_EQ(EXT_TYPE_TS, dev.Type(6, 0));
    // A found file's first sector is asked about alone, whatever flag a walk left behind.
    dev.Type(6, 1);
    EXPECT_EQ(1, J::IsFileTypeMatching(dev.Sector(6), kSector, "ts",
                                       static_cast<ISectorReader*>(&dev.reader), kSector, 6));
    // Zero bytes after the sync byte are not a packet header.
    PutTransportStream(dev, 20, 22);
    EXPECT_EQ(EXT_TYPE_TS, dev.Type(20));
    dev.Sector(20)[1] = dev.Sector(20)[3] = 0;
    EXPECT_EQ(EXT_TYPE_NONE, dev.Type(20));
    // Too few packets after the candidate.
    PutTransportStream(dev, 30, 20);
    EXPECT_EQ(EXT_TYPE_NONE, dev.Type(30));
}

TEST(CarvingRecogniserTest, FileSystemSectorsAreTold) {
    const char16_t ntfs[] = u"NTFS", sta[] = u"$STA";
    const Bytes boot = Bytes().U8(0, 0xEB).U8(2, 0x90).Text(3, "MSWIN4.1");
    const struct {
        Bytes sector;
        int expected;
    } cases[] = {{Bytes().Text(0, "FILE"), 1},
                 {Bytes().Text(0, "INDX"), 1},
                 {Bytes().Text(0, "RSTR").Put(300, ntfs, 8), 1},
                 {Bytes().Text(0, "RSTR"), 0},
                 {Bytes().Put(0, sta, 8), 1},
                 {boot, 1},
                 {Bytes(boot).Text(3, "mkfs.fat"), 0},
                 {Bytes(), 0}};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].expected, J::IsFileSystemSector(cases[i].sector.data(), 512)) << i;
    EXPECT_EQ(0, J::IsFileSystemSector(Bytes().Text(0, "FILE").data(), 31));
}

// The walk skips the rows that accept any first byte unless the sector holds the bytes they
// need further in. Planted over noise under every first byte, sectors those rows accept (and
// near misses) must type exactly as the plain walk types them.
TEST(CarvingRecogniserTest, DispatchedWalkAgreesWithThePlainWalkUnderEveryFirstByte) {
    Device dev(2);
    const struct {
        size_t at;
        std::string bytes;
        bool typed;  // some row accepts the sector whatever its first byte
    } planted[] = {{4, "ftypisom", true},
                   {4, "ftyp3gp4", true},
                   {4, "ftypqt  ", true},
                   {4, std::string("moov\0\0\0\0mvhd", 12), true},
                   {8, std::string("\0\0\xB0\x11\0\0\xC1\0", 8), true},
                   {4, "mdat", false},
                   {4, "wide", false},
                   {0, "PK\x03\x04", false},
                   {31, "[Content_Types].xml", false},
                   {257, "ustar", false}};
    for (const auto& plant : planted) {
        for (unsigned lead = 1; lead < 256; ++lead) {
            dev.Noise(0, 2 * kSector);
            std::memcpy(dev.At(plant.at), plant.bytes.data(), plant.bytes.size());
            if (plant.at > 0) dev.Sector(0)[0] = static_cast<unsigned char>(lead);
            dev.scan.SetReadContext(&dev.reader, kSector, 0);
            const uint32_t walked = J::GetDataBufTypeByFullWalk(dev.scan, dev.Sector(0), kSector);
            EXPECT_EQ(walked, J::GetDataBufType(dev.scan, dev.Sector(0), kSector))
                << plant.at << " " << lead;
            if (plant.typed) {
                EXPECT_NE(uint32_t{EXT_TYPE_NONE}, walked) << plant.at << " " << lead;
            }
        }
    }
}

}  // namespace
