// Length estimators over devices laid out in memory: end markers and the zero-fill rule, where
// streams stop, header-field sizes and their fallbacks, cancellation and the device's end.
#include <gtest/gtest.h>

#include <string>

#include "carving/formats/asf.h"
#include "carving/formats/bmp.h"
#include "carving/formats/cab.h"
#include "carving/formats/compound.h"
#include "carving/formats/ico.h"
#include "carving/formats/jpeg.h"
#include "carving/formats/midi.h"
#include "carving/formats/mpeg_audio.h"
#include "carving/formats/mpeg_ps.h"
#include "carving/formats/pdf.h"
#include "carving/formats/png.h"
#include "carving/formats/riff.h"
#include "carving/formats/swf.h"
#include "carving/judge_internal.h"
#include "carving_test_support.h"
#include "foundation/debug_log.h"

namespace {

using carving_test::Bytes;
using carving_test::kSector;
using J = CFileTypeJudge;

const Bytes kEoi = Bytes(2).Put(0, "\xFF\xD9", 2);
const Bytes kPdf = Bytes(16).Text(0, "%PDF-1.4");
const Bytes kPsd = Bytes(16).Text(0, "8BPS");
const Bytes kJpeg = carving_test::JpegHead();

// A device of noise (or zeros) whose file starts at sector 0, measured as a carving step would.
class EstimatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        scan.InitCallBack(nullptr, nullptr, nullptr, 90);
        scan.m_u64SectorTotalCount = 1000;
    }
    void Layout(size_t sectors, const Bytes& head, bool noise = true) {
        dev_.Resize(sectors);
        if (noise) dev_.Noise(0, sectors * kSector);
        dev_.Put(0, head);
    }
    void Put(size_t offset, const Bytes& b) { dev_.Put(offset, b); }
    // An end marker ending at byte `end`, zero-filled to its sector's end.
    void EndAt(size_t end, const Bytes& marker) {
        Put(end - marker.size(), marker);
        std::memset(dev_.At(end), 0, kSector - end % kSector);
    }
    uint64_t Estimate(ESTIMATE_FUNC estimator) {
        scan.SetReadContext(&dev_.reader, kSector, 0);
        scan.m_bIsNeedCheckTsFileRange = 0;
        return estimator(scan, dev_.At(0), kSector);
    }
    // The whole carving step: walk, name, estimate.
    int Carve(uint32_t& type, uint64_t& length) {
        char name[64];
        return J::ParseFileBuf(scan, dev_.At(0), kSector, 0, 0, dev_.bytes.size() / kSector, -1, 0,
                               static_cast<ISectorReader*>(&dev_.reader), kSector, name,
                               sizeof name, type, length);
    }

    carving::CarveScan scan;

    carving_test::Device dev_;
    uint32_t type_ = 0;
    uint64_t length_ = 0;
};

TEST_F(EstimatorTest, JpegEndsAtItsOwnEndMarkerOrElseWhereTheNextFileBegins) {
    Layout(8, kJpeg);
    Put(kSector - 2, kEoi);  // on the first sector boundary
    EXPECT_EQ(512u, Estimate(carving::formats::GetJPGFileBytesSize));
    // A thumbnail's end inside the first chunk with more data after it is not the end.
    Layout(400, kJpeg);
    std::memset(dev_.At(300 * kSector), 0, 100 * kSector);
    Put(3000, kEoi);
    EndAt(200 * kSector + 100, kEoi);
    Put(210 * kSector, kJpeg);
    EXPECT_EQ(200u * kSector + 100, Estimate(carving::formats::GetJPGFileBytesSize));
    Layout(40, kJpeg);
    Put(17 * kSector, kJpeg);
    EXPECT_EQ(17u * kSector, Estimate(carving::formats::GetJPGFileBytesSize));
    Layout(10, kJpeg);  // the last chunk of the device is read as far as it goes
    EndAt(8 * kSector + 10, kEoi);
    EXPECT_EQ(8u * kSector + 10, Estimate(carving::formats::GetJPGFileBytesSize));
}

TEST_F(EstimatorTest, StreamEndsWhereTheNextFileOrAFileSystemSectorBeginsOrAtTheDeviceEnd) {
    Layout(64, kPsd);
    Put(23 * kSector, kPdf);
    EXPECT_EQ(23u * kSector, Estimate(J::GetDefaultPictureFileBytesSize));
    Put(9 * kSector, Bytes(16).Text(0, "FILE0"));
    EXPECT_EQ(9u * kSector, Estimate(J::GetDefaultPictureFileBytesSize));
    Layout(10, kPsd);
    EXPECT_EQ(10u * kSector, Estimate(J::GetDefaultPictureFileBytesSize));
}

TEST_F(EstimatorTest, EndMarkersCountOnlyWhereTheirSectorIsZeroFilledOrTheFileSaysSo) {
    const Bytes iend = Bytes(8).Put(0, "IEND\xAE\x42\x60\x82", 8);
    Layout(20, Bytes(8).Put(0, "\x89PNG\r\n\x1A\n", 8));
    Put(2 * kSector + 10, iend);  // followed by data in its sector
    EndAt(5 * kSector + 40, iend);
    EXPECT_EQ(5u * kSector + 40, Estimate(carving::formats::GetPNGFileBytesSize));
    // An MPEG program stream repeats its pack headers; they do not end it.
    Layout(60, Bytes(0));
    for (size_t s = 0; s < 30; s += 2)
        Put(s * kSector, Bytes(18).Put(0, "\0\0\1\xBA", 4).Put(14, "\0\0\1\xBB", 4));
    EndAt(30 * kSector + 64, Bytes(4).Put(0, "\0\0\1\xB9", 4));
    EXPECT_EQ(30u * kSector + 64, Estimate(carving::formats::GetMPGFileBytesSize));
    // A PDF without its end of file ends after its trailer keyword.
    Layout(20, kPdf);
    Put(3 * kSector + 10, Bytes(7).Text(0, "trailer"));
    Put(10 * kSector, kPsd);
    EXPECT_EQ(3u * kSector + 17, Estimate(carving::formats::GetPDFFileBytesSize));
    // An MP3 file ends after its last ID3v1 tag, before the next file.
    Layout(30, Bytes(10).Text(0, "ID3").U8(3, 4));
    Put(12 * kSector + 7, Bytes(3).Text(0, "TAG"));
    Put(20 * kSector, kPdf);
    EXPECT_EQ(12u * kSector + 7 + 128, Estimate(carving::formats::GetMP3FileBytesSize));
}

TEST_F(EstimatorTest, MidiEndsAfterItsLastAnnouncedTrack) {
    Bytes midi = Bytes(14).Text(0, "MThd").BE32(4, 6).BE16(8, 1).BE16(10, 3).BE16(12, 96);
    Layout(40, midi);
    size_t at = 14;
    for (uint32_t len : {100u, 5000u, 700u}) {
        Put(at, Bytes(8).Text(0, "MTrk").BE32(4, len));
        at += 8 + len;
    }
    EXPECT_EQ(at, Estimate(carving::formats::GetMIDFileBytesSize));
    Layout(40, midi.BE16(10, 1));  // a small file ends inside its first sector
    Put(14, Bytes(8).Text(0, "MTrk").BE32(4, 20));
    EXPECT_EQ(42u, Estimate(carving::formats::GetMIDFileBytesSize));
    Layout(40, midi.BE16(10, 2));  // the first sector ends exactly after the first track
    Put(14, Bytes(8).Text(0, "MTrk").BE32(4, 490));
    Put(kSector, Bytes(8).Text(0, "MTrk").BE32(4, 20));
    EXPECT_EQ(540u, Estimate(carving::formats::GetMIDFileBytesSize));
}

TEST_F(EstimatorTest, ZipEndsAfterItsDirectoryEndAndComment) {
    Layout(20, Bytes(48).Put(0, "PK\x03\x04", 4));
    Put(3 * kSector + 77, Bytes(22).Put(0, "PK\x05\x06", 4).U16(20, 5).Text(22, "hello"));
    ASSERT_EQ(0, Carve(type_, length_));
    EXPECT_EQ(EXT_TYPE_ZIP, type_);
    EXPECT_EQ(3u * kSector + 77 + 22 + 5, length_);
}

TEST_F(EstimatorTest, TransportStreamEndsAtItsFirstBadPacketAndIsRemembered) {
    Layout(60, Bytes(0), false);
    for (size_t i = 0; i < 100; ++i) Put(i * 188, Bytes(4).U8(0, 0x47).U8(1, 0x40).U8(3, 0x10));
    dev_.bytes[39 * 188] = 0x00;  // the 40th packet lacks its sync byte
    scan.m_bIsNeedCheckTsFileRange = 1;
    ASSERT_EQ(0, Carve(type_, length_));
    EXPECT_EQ(EXT_TYPE_TS, type_);
    EXPECT_EQ(39u * 188, length_);
    ASSERT_EQ(1u, scan.m_tsFileRangeVec.size());
    EXPECT_EQ(0u, scan.m_tsFileRangeVec[0].u64FirstSector);
    EXPECT_EQ((39u * 188 + kSector - 1) / kSector - 1, scan.m_tsFileRangeVec[0].u64LastSector);
}

TEST_F(EstimatorTest, HeaderFieldSizesAreCappedAndAsfTakesItsOnlyFromAPlainFile) {
    Layout(2, Bytes(40).Text(0, "BM").U32(2, 0xFFFFFFFF).U32(14, 40), false);
    EXPECT_EQ(128u << 20, Estimate(carving::formats::GetBMPFileBytesSize));
    Put(0, Bytes(16).Text(0, "RIFF").U32(4, 0xFFFFFFF0).Text(8, "WAVEfmt "));
    EXPECT_EQ(0xFFFFFFF8ull, Estimate(carving::formats::GetWAVFileBytesSize));
    Put(0, Bytes(36).Text(0, "MSCF").U32(8, 0xF0000000));
    EXPECT_EQ(1ull << 30, Estimate(carving::formats::GetCABFileBytesSize));
    Put(0, Bytes(8).Text(0, "CWS").U8(3, 9).U32(4, 1000));
    EXPECT_EQ(512u, Estimate(carving::formats::GetSWFFileBytesSize));

    Layout(4,
           Bytes(16).Put(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16),
           false);
    const char props[] = "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65";
    Put(30, Bytes(104).Put(0, props, 16).U64(40, 123456).U32(88, 2));
    EXPECT_EQ(123456u, Estimate(carving::formats::GetASFFileBytesSize));
    Put(30 + 88, Bytes(1).U8(0, 3));  // broadcast: no size known, one sector
    EXPECT_EQ(512u, Estimate(carving::formats::GetASFFileBytesSize));
    Put(30, Bytes(16));  // no file properties object
    EXPECT_EQ(512u, Estimate(carving::formats::GetASFFileBytesSize));
}

TEST_F(EstimatorTest, IconDirectoryBeyondTheFirstSectorIsReadFromTheDevice) {
    const uint16_t count = 40;  // 6 + 16 * 40 = 646 bytes of directory
    Bytes ico = Bytes(6).U16(2, 1).U16(4, count);
    uint32_t end = 6 + 16 * count;
    for (size_t i = 0; i < count; ++i, end += 10) ico.U32(14 + 16 * i, 10).U32(18 + 16 * i, end);
    Layout(8, ico, false);
    EXPECT_EQ(end, Estimate(carving::formats::GetICOFileBytesSize));
    scan.SetReadContext(nullptr, kSector, 0);  // without the device to read, one sector
    static std::string logged;
    logged.clear();
    SetDebugSink([](const char* message) { logged += message; });
    EXPECT_EQ(512u, carving::formats::GetICOFileBytesSize(scan, dev_.At(0), kSector));
    SetDebugSink(nullptr);
    EXPECT_EQ(logged, "ico directory of 40 entries unreadable\n");
}

// The searches reach both edges of their buffer; an end detector stops at the sector where
// another file begins, and given no chunk finds no end.
TEST_F(EstimatorTest, SearchesReachTheBufferEdgesAndEndDetectorsNeedAChunk) {
    const unsigned char eof[] = "%%EOF";
    EXPECT_EQ(0u, carving::FindBackward(eof, 5, eof, 5));
    EXPECT_EQ(0u, carving::FindForward(eof, 5, 0, eof, 5));
    EXPECT_EQ(carving::kNotFound, carving::FindBackward(eof, 4, eof, 5));
    Layout(3, Bytes(1));
    Put(2 * kSector, kJpeg);
    scan.SetReadContext(&dev_.reader, kSector, 0);
    uint64_t length = 7;
    EXPECT_EQ(1, J::IsEndOfFile(scan, dev_.At(0), 3 * kSector, length));
    EXPECT_EQ(7u + 2 * kSector, length);
    EXPECT_EQ(0, J::IsEndOfFile(scan, nullptr, kSector, length));
    EXPECT_EQ(7u + 2 * kSector, length);
}

TEST_F(EstimatorTest, CompoundDocumentSizeComesFromItsAllocationTable) {
    // One allocation sector (compound sector 3); sectors 0-9 used, the rest free.
    Layout(64,
           Bytes()
               .Put(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)
               .U16(30, 9)
               .U32(44, 1)
               .U32(48, 1)
               .U32(76, 3),
           false);
    Bytes fat(512);
    for (size_t i = 0; i < 128; ++i) fat.U32(4 * i, i < 10 ? 0xFFFFFFFE : 0xFFFFFFFF);
    Put(4 * kSector, fat);
    EXPECT_EQ(11u * 512, Estimate(carving::formats::GetOFFICE2003FileBytesSizeByFileHead));
    EXPECT_EQ(11u * 512, Estimate(carving::formats::GetFLAFileBytesSize));
    Put(30, Bytes(2).U16(0, 7));  // an impossible sector shift says nothing
    EXPECT_EQ(0u, Estimate(carving::formats::GetOFFICE2003FileBytesSizeByFileHead));
    Put(30, Bytes(2).U16(0, 9));
    Put(44, Bytes(4));  // no allocation sector at all
    EXPECT_EQ(0u, Estimate(carving::formats::GetOFFICE2003FileBytesSizeByFileHead));
}

int g_calls = 0;
int CancelOnSecondCall(void*, int, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    return ++g_calls >= 2 ? ERROR_USER_CANCEL : 0;
}
int StopWithOne(void*, int, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    return 1;
}

TEST_F(EstimatorTest, CancelledProgressStopsAtOnceWithTheLengthSoFar) {
    Layout(600, kPsd);
    g_calls = 0;
    scan.InitCallBack(CancelOnSecondCall, nullptr, nullptr, 90);
    EXPECT_EQ(ERROR_USER_CANCEL, Carve(type_, length_));
    EXPECT_EQ(2, g_calls);
    EXPECT_EQ(kSector + 128u * kSector, length_);  // the first sector and one chunk
    // Any other non-zero answer cancels too: a measurement cut short is no length.
    scan.InitCallBack(StopWithOne, nullptr, nullptr, 90);
    EXPECT_EQ(ERROR_USER_CANCEL, Carve(type_, length_));
}

// (Executables and empty sectors are refused, and a size-field length consumes one sector, in
// the engine's own test.)
TEST_F(EstimatorTest, ACarvedFileConsumesItsWholeSectors) {
    EXPECT_EQ(3u, CarvedSectorsConsumed(EXT_TYPE_JPG, 1025, kSector));
    EXPECT_EQ(2u, CarvedSectorsConsumed(EXT_TYPE_JPG, 1024, kSector));
    EXPECT_EQ(1u, CarvedSectorsConsumed(EXT_TYPE_JPG, 0, kSector));
    EXPECT_EQ(1u, CarvedSectorsConsumed(EXT_TYPE_JPG, 1025, 0));
}

}  // namespace
