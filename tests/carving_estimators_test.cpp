// Length estimators over devices built in memory: end markers and the zero-fill rule, where
// streams stop, header-field sizes and their fallbacks, cancellation and the device's end.
#include <gtest/gtest.h>

#include "carving/file_type_judge.h"
#include "carving/sector_reader.h"
#include "carving_test_support.h"

namespace {

using carving_test::Bytes;
constexpr int kSector = 512;

// A device whose bytes the test lays out, measured from one start sector as a carving step
// would.
class EstimatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 90);
        CFileTypeJudge::ClearTsFileRanges();
        CFileTypeJudge::m_u64ScanSectorCount = 0;
        CFileTypeJudge::m_u64SectorTotalCount = 1000;
        CFileTypeJudge::m_ErrorCode = 0;
    }
    void TearDown() override {
        CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 0);
        CFileTypeJudge::m_pDiskReader = nullptr;
        CFileTypeJudge::ClearTsFileRanges();
    }

    void Resize(size_t sectors) { dev_.assign(sectors * kSector, 0); }
    unsigned char* At(size_t offset) { return dev_.data() + offset; }
    void Put(size_t offset, const Bytes& b) { std::memcpy(At(offset), b.data(), b.size()); }
    void Fill(size_t from, size_t to, unsigned char value) {
        std::memset(At(from), value, to - from);
    }
    // Pseudo-random file data that no recogniser takes for a file start.
    void Noise(size_t from, size_t to) {
        uint32_t x = 12345;
        for (size_t i = from; i < to; ++i) {
            x = x * 1103515245 + 12345;
            dev_[i] = static_cast<unsigned char>((x >> 16) | 0x01);
        }
    }

    uint64_t Estimate(ESTIMATE_FUNC estimator, size_t startSector) {
        reader_ = std::make_unique<CMemorySectorReader>(dev_.data(), dev_.size());
        CFileTypeJudge::SetReadContext(reader_.get(), kSector, startSector);
        CFileTypeJudge::m_bIsNeedCheckTsFileRange = 0;
        return estimator(At(startSector * kSector), kSector);
    }

    // The whole carving step: walk, name, estimate.
    int Carve(size_t startSector, uint32_t& type, uint64_t& length) {
        reader_ = std::make_unique<CMemorySectorReader>(dev_.data(), dev_.size());
        char name[64];
        return CFileTypeJudge::ParseFileBuf(
            At(startSector * kSector), kSector, startSector, 0, dev_.size() / kSector, -1, 0,
            static_cast<ISectorReader*>(reader_.get()), kSector, name, sizeof name, type, length);
    }

    std::vector<unsigned char> dev_;
    std::unique_ptr<CMemorySectorReader> reader_;
};

Bytes JpegHead() {
    static const unsigned char soi[] = {0xFF, 0xD8, 0xFF, 0xE0};
    return Bytes(16).Put(0, soi, 4).Text(6, "JFIF");
}
const unsigned char kEoi[] = {0xFF, 0xD9};
const unsigned char kIend[] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

TEST_F(EstimatorTest, JpegEndingOnTheFirstSectorBoundaryEndsThere) {
    Resize(8);
    Noise(0, 4 * kSector);
    Put(0, JpegHead());
    Put(kSector - 2, Bytes(2).Put(0, kEoi, 2));
    EXPECT_EQ(512u, Estimate(CFileTypeJudge::GetJPGFileBytesSize, 0));
}

TEST_F(EstimatorTest, JpegThumbnailEndIsReplacedByThePhotosOwnEnd) {
    Resize(400);
    Noise(0, 300 * kSector);
    Put(0, JpegHead());
    // A thumbnail's end inside the first chunk, followed by more data: not an end.
    Put(3000, Bytes(2).Put(0, kEoi, 2));
    // The photo's end in a later chunk, zero-padded to its sector.
    const size_t end = 200 * kSector + 100;
    Put(end - 2, Bytes(2).Put(0, kEoi, 2));
    Fill(end, 201 * kSector, 0);
    // Another photo starts further on.
    Put(210 * kSector, JpegHead());
    EXPECT_EQ(end, Estimate(CFileTypeJudge::GetJPGFileBytesSize, 0));
}

TEST_F(EstimatorTest, JpegWithoutAUsableEndStopsAtTheNextFile) {
    Resize(40);
    Noise(0, 40 * kSector);
    Put(0, JpegHead());
    Put(17 * kSector, JpegHead());
    EXPECT_EQ(17u * kSector, Estimate(CFileTypeJudge::GetJPGFileBytesSize, 0));
}

TEST_F(EstimatorTest, PngEndFollowedByDataInItsSectorIsPassedOver) {
    Resize(20);
    Noise(0, 20 * kSector);
    static const unsigned char png[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Put(0, Bytes(8).Put(0, png, 8));
    Put(2 * kSector + 10, Bytes(8).Put(0, kIend, 8));  // followed by noise
    const size_t end = 5 * kSector + 40;
    Put(end - 8, Bytes(8).Put(0, kIend, 8));
    Fill(end, 6 * kSector, 0);
    EXPECT_EQ(end, Estimate(CFileTypeJudge::GetPNGFileBytesSize, 0));
}

TEST_F(EstimatorTest, StreamEndsExactlyWhereTheNextFileBegins) {
    Resize(64);
    Noise(0, 64 * kSector);
    Put(0, Bytes(16).Text(0, "8BPS"));
    Put(23 * kSector, Bytes(16).Text(0, "%PDF-1.4"));
    EXPECT_EQ(23u * kSector, Estimate(CFileTypeJudge::GetDefaultPictureFileBytesSize, 0));
    // A file-system sector ends a stream the same way.
    Put(9 * kSector, Bytes(16).Text(0, "FILE0"));
    EXPECT_EQ(9u * kSector, Estimate(CFileTypeJudge::GetDefaultPictureFileBytesSize, 0));
}

TEST_F(EstimatorTest, MpegProgramStreamIsNotEndedByItsOwnPackHeaders) {
    Resize(60);
    Noise(0, 60 * kSector);
    static const unsigned char pack[] = {0, 0, 1, 0xBA};
    static const unsigned char system[] = {0, 0, 1, 0xBB};
    static const unsigned char end[] = {0, 0, 1, 0xB9};
    for (size_t s = 0; s < 30; s += 2)
        Put(s * kSector, Bytes(18).Put(0, pack, 4).Put(14, system, 4));
    const size_t stop = 30 * kSector + 64;
    Put(stop - 4, Bytes(4).Put(0, end, 4));
    Fill(stop, 31 * kSector, 0);
    EXPECT_EQ(stop, Estimate(CFileTypeJudge::GetMPGFileBytesSize, 0));
}

TEST_F(EstimatorTest, ZipEndsAfterItsDirectoryEndAndComment) {
    Resize(20);
    Noise(0, 20 * kSector);
    Put(0, Bytes(48).Put(0, "PK\x03\x04", 4));
    const size_t eocd = 3 * kSector + 77;
    Put(eocd, Bytes(22).Put(0, "PK\x05\x06", 4).U16(20, 5).Text(22, "hello"));
    uint32_t type = 0;
    uint64_t length = 0;
    ASSERT_EQ(0, Carve(0, type, length));
    EXPECT_EQ(EXT_TYPE_ZIP, type);
    EXPECT_EQ(eocd + 22 + 5, length);
}

TEST_F(EstimatorTest, SmallZipEndsInsideItsFirstSector) {
    Resize(8);
    Noise(0, 8 * kSector);
    Put(0, Bytes(48).Put(0, "PK\x03\x04", 4));
    Put(200, Bytes(22).Put(0, "PK\x05\x06", 4).U16(20, 0));
    EXPECT_EQ(222u, Estimate(CFileTypeJudge::GetZIPFileBytesSize, 0));
}

TEST_F(EstimatorTest, TransportStreamEndsAtItsFirstBadPacketAndIsRemembered) {
    Resize(60);
    for (size_t i = 0; i < 100; ++i) {
        dev_[i * 188] = 0x47;
        dev_[i * 188 + 1] = 0x40;
        dev_[i * 188 + 3] = 0x10;
    }
    dev_[39 * 188] = 0x00;  // the 40th packet lacks its sync byte
    uint32_t type = 0;
    uint64_t length = 0;
    CFileTypeJudge::m_bIsNeedCheckTsFileRange = 1;
    ASSERT_EQ(0, Carve(0, type, length));
    EXPECT_EQ(EXT_TYPE_TS, type);
    EXPECT_EQ(39u * 188, length);
    ASSERT_EQ(1u, CFileTypeJudge::m_tsFileRangeVec.size());
    EXPECT_EQ(0u, CFileTypeJudge::m_tsFileRangeVec[0].u64FirstSector);
    EXPECT_EQ((39u * 188 + kSector - 1) / kSector - 1,
              CFileTypeJudge::m_tsFileRangeVec[0].u64LastSector);
}

TEST_F(EstimatorTest, Mp3EndsAfterItsLastIdv1Tag) {
    Resize(30);
    Noise(0, 30 * kSector);
    Put(0, Bytes(10).Text(0, "ID3").U8(3, 4));
    const size_t tag = 12 * kSector + 7;
    Put(tag, Bytes(3).Text(0, "TAG"));
    Put(20 * kSector, Bytes(16).Text(0, "%PDF-1.4"));
    EXPECT_EQ(tag + 128, Estimate(CFileTypeJudge::GetMP3FileBytesSize, 0));
}

TEST_F(EstimatorTest, MidiEndsAfterItsLastAnnouncedTrack) {
    Resize(40);
    Noise(0, 40 * kSector);
    Bytes midi = Bytes(14).Text(0, "MThd").BE32(4, 6).BE16(8, 1).BE16(10, 3).BE16(12, 96);
    Put(0, midi);
    size_t at = 14;
    for (uint32_t len : {100u, 5000u, 700u}) {
        Put(at, Bytes(8).Text(0, "MTrk").BE32(4, len));
        at += 8 + len;
    }
    EXPECT_EQ(at, Estimate(CFileTypeJudge::GetMIDFileBytesSize, 0));
    // A small file ends inside its first sector.
    Noise(0, 40 * kSector);
    Put(0, midi.BE16(10, 1));
    Put(14, Bytes(8).Text(0, "MTrk").BE32(4, 20));
    EXPECT_EQ(42u, Estimate(CFileTypeJudge::GetMIDFileBytesSize, 0));
}

TEST_F(EstimatorTest, BroadcastAsfIsOneSector) {
    static const unsigned char header[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                           0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    static const unsigned char props[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                          0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    Resize(4);
    Put(0, Bytes(30).Put(0, header, 16));
    Put(30, Bytes(104).Put(0, props, 16).U64(40, 123456).U32(88, 2));
    EXPECT_EQ(123456u, Estimate(CFileTypeJudge::GetASFFileBytesSize, 0));
    Put(30 + 88, Bytes(1).U8(0, 3));
    EXPECT_EQ(512u, Estimate(CFileTypeJudge::GetASFFileBytesSize, 0));
    Put(30, Bytes(16));  // no file properties object
    EXPECT_EQ(512u, Estimate(CFileTypeJudge::GetASFFileBytesSize, 0));
}

TEST_F(EstimatorTest, HeaderFieldSizesAreCapped) {
    Resize(2);
    Put(0, Bytes(40).Text(0, "BM").U32(2, 0xFFFFFFFF).U32(14, 40));
    EXPECT_EQ(128u << 20, Estimate(CFileTypeJudge::GetBMPFileBytesSize, 0));
    Put(0, Bytes(16).Text(0, "RIFF").U32(4, 0xFFFFFFF0).Text(8, "WAVEfmt "));
    EXPECT_EQ(0xFFFFFFF8ull, Estimate(CFileTypeJudge::GetWAVFileBytesSize, 0));
    Put(0, Bytes(36).Text(0, "MSCF").U32(8, 0xF0000000));
    EXPECT_EQ(1ull << 30, Estimate(CFileTypeJudge::GetCABFileBytesSize, 0));
    Put(0, Bytes(8).Text(0, "CWS").U8(3, 9).U32(4, 1000));
    EXPECT_EQ(512u, Estimate(CFileTypeJudge::GetSWFFileBytesSize, 0));
}

TEST_F(EstimatorTest, IconDirectoryBeyondTheFirstSectorIsReadFromTheDevice) {
    Resize(8);
    const uint16_t count = 40;  // 6 + 16 * 40 = 646 bytes of directory
    Bytes ico = Bytes(6 + 16 * count).U16(2, 1).U16(4, count);
    uint32_t offset = 6 + 16 * count;
    for (size_t i = 0; i < count; ++i) {
        ico.U32(6 + 16 * i + 8, 10).U32(6 + 16 * i + 12, offset);
        offset += 10;
    }
    Put(0, ico);
    EXPECT_EQ(offset, Estimate(CFileTypeJudge::GetICOFileBytesSize, 0));
    // Without the device to read, one sector.
    reader_.reset();
    CFileTypeJudge::SetReadContext(nullptr, kSector, 0);
    EXPECT_EQ(512u, CFileTypeJudge::GetICOFileBytesSize(At(0), kSector));
}

TEST_F(EstimatorTest, CompoundDocumentSizeComesFromItsAllocationTable) {
    Resize(64);
    static const unsigned char magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    // One allocation sector (compound sector 3); sectors 0-9 used, the rest free.
    Put(0, Bytes(512).Put(0, magic, 8).U16(30, 9).U32(44, 1).U32(48, 1).U32(76, 3));
    Bytes fat(512);
    for (size_t i = 0; i < 128; ++i) fat.U32(4 * i, i < 10 ? 0xFFFFFFFE : 0xFFFFFFFF);
    Put(4 * kSector, fat);
    EXPECT_EQ(11u * 512, Estimate(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead, 0));
    EXPECT_EQ(11u * 512, Estimate(CFileTypeJudge::GetFLAFileBytesSize, 0));
    // An impossible sector shift says nothing.
    Put(30, Bytes(2).U16(0, 7));
    EXPECT_EQ(0u, Estimate(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead, 0));
    // No allocation sector at all.
    Put(30, Bytes(2).U16(0, 9));
    Put(44, Bytes(4).U32(0, 0));
    EXPECT_EQ(0u, Estimate(CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead, 0));
}

TEST_F(EstimatorTest, StreamAtTheDeviceEndReadsTheSectorsThatExist) {
    Resize(10);
    Noise(0, 10 * kSector);
    Put(0, JpegHead());
    const size_t end = 8 * kSector + 10;
    Put(end - 2, Bytes(2).Put(0, kEoi, 2));
    Fill(end, 9 * kSector, 0);
    EXPECT_EQ(end, Estimate(CFileTypeJudge::GetJPGFileBytesSize, 0));
    // Nothing found: the whole rest of the device.
    Noise(0, 10 * kSector);
    Put(0, Bytes(16).Text(0, "8BPS"));
    EXPECT_EQ(10u * kSector, Estimate(CFileTypeJudge::GetDefaultPictureFileBytesSize, 0));
}

int g_calls = 0;
int CancelOnSecondCall(void*, int, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    return ++g_calls >= 2 ? ERROR_USER_CANCEL : 0;
}
int StopWithOne(void*, int, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    return 1;
}

TEST_F(EstimatorTest, CancelledProgressStopsAtOnceWithTheLengthSoFar) {
    Resize(600);
    Noise(0, 600 * kSector);
    Put(0, Bytes(16).Text(0, "8BPS"));
    g_calls = 0;
    CFileTypeJudge::InitCallBack(CancelOnSecondCall, nullptr, nullptr, 90);
    uint32_t type = 0;
    uint64_t length = 0;
    EXPECT_EQ(ERROR_USER_CANCEL, Carve(0, type, length));
    EXPECT_EQ(2, g_calls);
    EXPECT_EQ(kSector + 128u * kSector, length);  // the first sector and one chunk
    // Any other non-zero answer cancels too: a measurement cut short is no length.
    CFileTypeJudge::InitCallBack(StopWithOne, nullptr, nullptr, 90);
    EXPECT_EQ(ERROR_USER_CANCEL, Carve(0, type, length));
}

TEST_F(EstimatorTest, CarvingStepRefusesExecutablesAndEmptySectors) {
    Resize(4);
    uint32_t type = 0;
    uint64_t length = 0;
    EXPECT_EQ(RESULT_NOT_FOUND, Carve(0, type, length));
    Put(0, Bytes().Text(0, "MZ").U32(60, 128).Text(128, "PE").U16(150, 0x0102));
    EXPECT_EQ(RESULT_NOT_FOUND, Carve(0, type, length));
    EXPECT_EQ(1u, CarvedSectorsConsumed(EXT_TYPE_WAV, 10u << 20, kSector));
    EXPECT_EQ(3u, CarvedSectorsConsumed(EXT_TYPE_JPG, 1025, kSector));
    EXPECT_EQ(1u, CarvedSectorsConsumed(EXT_TYPE_JPG, 0, kSector));
}

}  // namespace
