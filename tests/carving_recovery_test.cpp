// The carving engine: the records it writes, what a carved file consumes, recovery of
// exactly the carved bytes (never over an existing file), preview to a file or a buffer,
// and browsing through its store.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "carving/file_type_recovery.h"
#include "carving_test_support.h"
#include "foundation/text.h"

namespace {

using carving_test::Bytes;
constexpr int kSector = 512;

Bytes JpegFile(size_t bytes) {
    static const unsigned char soi[] = {0xFF, 0xD8, 0xFF, 0xE0};
    Bytes b(bytes);
    for (size_t i = 16; i < bytes; ++i) b.v[i] = static_cast<unsigned char>(0x20 + i % 64);
    b.Put(0, soi, 4).Text(6, "JFIF");
    b.v[bytes - 2] = 0xFF;
    b.v[bytes - 1] = 0xD9;
    return b;
}

struct RecordedCall {
    int percent;
    int weight;
    int error;
};
std::vector<RecordedCall> g_recoveryCalls;
int RecordRecovery(void*, int percent, int weight, int error, const char16_t*) {
    g_recoveryCalls.push_back({percent, weight, error});
    return 0;
}
std::vector<RecordedCall> g_previewCalls;
int RecordPreview(void*, int percent, int error) {
    g_previewCalls.push_back({percent, 0, error});
    return 0;
}

class CarvingEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_recoveryCalls.clear();
        g_previewCalls.clear();
        device_.assign(4096 * kSector, 0);
    }
    void Put(uint64_t sector, const Bytes& b) {
        std::memcpy(device_.data() + sector * kSector, b.data(), b.size());
    }
    // Writes the device image and binds the engine to it.
    void Open() {
        devicePath_ = logRoot_.path() + "/device.img";
        carving_test::WriteFile(devicePath_, device_);
        ASSERT_EQ(0, engine_.Init(Utf8ToWide(devicePath_.c_str()).c_str(), u'E'));
        engine_.InitCallBack(nullptr, RecordRecovery, nullptr, 90);
        ASSERT_EQ(0,
                  reader_.Init(Utf8ToWide(devicePath_.c_str()).c_str(), device_.size() / kSector));
    }
    int Carve(uint64_t sector, uint64_t& consumed, uint64_t& found) {
        consumed = 1;
        return engine_.ParseFileBuf(device_.data() + sector * kSector, kSector, sector, sector,
                                    device_.size() / kSector, -1, &reader_, kSector, consumed,
                                    found);
    }
    std::vector<_FILE_NODE_> Records() {
        std::vector<_FILE_NODE_> nodes;
        EXPECT_EQ(0, engine_.GetChildrenFileNode(nullptr, 0, nodes));
        return nodes;
    }
    std::u16string Target(const char* name) {
        return Utf8ToWide((logRoot_.path() + "/" + name).c_str());
    }

    carving_test::ScopedLogRoot logRoot_;
    std::vector<unsigned char> device_;
    std::string devicePath_;
    CDiskReader reader_;
    CFileTypeRecovery engine_;
};

TEST_F(CarvingEngineTest, CarvedJpegBecomesARecordNamedByItsSector) {
    Put(2048, JpegFile(3000));
    Open();
    uint64_t consumed = 0;
    uint64_t found = 5;
    ASSERT_EQ(0, Carve(2048, consumed, found));
    EXPECT_EQ(6u, found);
    EXPECT_EQ(6u, consumed);  // ceil(3000 / 512)
    const std::vector<_FILE_NODE_> nodes = Records();
    ASSERT_EQ(1u, nodes.size());
    const _FILE_NODE_& n = nodes[0];
    EXPECT_STREQ("2048.jpg", n.szFileName);
    EXPECT_EQ(2048u, n.u64RecordSector);
    EXPECT_EQ(0xFFFFFFFFu, n.uClusterBytes);
    EXPECT_EQ(3000u, n.u64FileSize);
    EXPECT_EQ(uint32_t{FILE_SOURCE_FILE_TYPE}, n.nFileSource);
    EXPECT_EQ(1u, n.bDataHealth);
    EXPECT_EQ(1u, n.uFileIndex);
    EXPECT_EQ(uint32_t{u'E'}, n.wcDriveLetter);
    EXPECT_EQ(0u, n.bIsDir);
    EXPECT_EQ(0u, n.u64DataStartSector);
    EXPECT_EQ(1u, engine_.GetLostFileCount());
    unsigned int count = 0;
    EXPECT_EQ(0, engine_.GetChildrenFileCount(nullptr, 0, count));
    EXPECT_EQ(1u, count);
}

TEST_F(CarvingEngineTest, WavConsumesOneSectorSoAJpegInsideItIsCarvedToo) {
    Put(100, Bytes(44).Text(0, "RIFF").U32(4, 10'000'000 - 8).Text(8, "WAVEfmt "));
    Put(101, JpegFile(1024));
    Open();
    uint64_t consumed = 0;
    uint64_t found = 0;
    ASSERT_EQ(0, Carve(100, consumed, found));
    EXPECT_EQ(1u, consumed);
    ASSERT_EQ(0, Carve(101, consumed, found));
    EXPECT_EQ(2u, found);
    const std::vector<_FILE_NODE_> nodes = Records();
    ASSERT_EQ(2u, nodes.size());
    EXPECT_STREQ("100.wav", nodes[0].szFileName);
    EXPECT_EQ(10'000'000u, nodes[0].u64FileSize);
    EXPECT_STREQ("101.jpg", nodes[1].szFileName);
}

TEST_F(CarvingEngineTest, ExecutableAndPlainSectorsCarveNothing) {
    Put(10, Bytes().Text(0, "MZ").U32(60, 128).Text(128, "PE").U16(150, 0x0102));
    Open();
    uint64_t consumed = 1;
    uint64_t found = 0;
    EXPECT_EQ(RESULT_NOT_FOUND, Carve(10, consumed, found));
    EXPECT_EQ(RESULT_NOT_FOUND, Carve(11, consumed, found));
    EXPECT_EQ(1u, consumed);
    EXPECT_EQ(0u, found);
    EXPECT_TRUE(Records().empty());
}

TEST_F(CarvingEngineTest, RecoveryWritesExactlyTheCarvedLength) {
    Put(300, JpegFile(1000));
    Open();
    uint64_t consumed = 0;
    uint64_t found = 0;
    ASSERT_EQ(0, Carve(300, consumed, found));
    std::vector<_FILE_NODE_> nodes = Records();
    ASSERT_EQ(1u, nodes.size());
    ASSERT_EQ(1000u, nodes[0].u64FileSize);
    const std::u16string target = Target("out.jpg");
    ASSERT_EQ(0, engine_.SaveFileData(&nodes[0], target.c_str(), 0));
    const std::vector<unsigned char> bytes = carving_test::ReadFile(WideToUtf8(target));
    ASSERT_EQ(1000u, bytes.size());
    EXPECT_EQ(0, std::memcmp(bytes.data(), device_.data() + 300 * kSector, 1000));
    ASSERT_FALSE(g_recoveryCalls.empty());
    EXPECT_EQ(100, g_recoveryCalls.back().percent);
    EXPECT_EQ(0, g_recoveryCalls.back().error);
}

TEST_F(CarvingEngineTest, RecoveryNeverOverwritesAnExistingFile) {
    Put(300, JpegFile(1000));
    Open();
    uint64_t consumed = 0;
    uint64_t found = 0;
    ASSERT_EQ(0, Carve(300, consumed, found));
    std::vector<_FILE_NODE_> nodes = Records();
    const std::u16string target = Target("taken.jpg");
    carving_test::WriteFile(WideToUtf8(target), std::vector<unsigned char>(10, 'x'));
    EXPECT_EQ(EEXIST, engine_.SaveFileData(&nodes[0], target.c_str(), 0));
    EXPECT_EQ(std::vector<unsigned char>(10, 'x'), carving_test::ReadFile(WideToUtf8(target)));
    ASSERT_EQ(1u, g_recoveryCalls.size());  // the failure is reported once
    EXPECT_EQ(EEXIST, g_recoveryCalls[0].error);
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, engine_.SaveFileData(nullptr, target.c_str(), 0));
}

TEST_F(CarvingEngineTest, EmptyRecordGivesAnEmptyFileWithOneFinalReport) {
    Open();
    _FILE_NODE_ node{};
    node.u64RecordSector = 5;
    const std::u16string target = Target("empty.bin");
    ASSERT_EQ(0, engine_.SaveFileData(&node, target.c_str(), 0));
    EXPECT_TRUE(carving_test::ReadFile(WideToUtf8(target)).empty());
    ASSERT_EQ(1u, g_recoveryCalls.size());
    EXPECT_EQ(100, g_recoveryCalls.back().percent);
    EXPECT_EQ(0, g_recoveryCalls.back().error);
}

TEST_F(CarvingEngineTest, RecoveryPastTheDeviceReportsTheReadError) {
    Open();
    _FILE_NODE_ node{};
    node.u64RecordSector = 4090;
    node.u64FileSize = 100 * kSector;
    const std::u16string target = Target("short.bin");
    EXPECT_EQ(RESULT_OUTSIDE_VOLUME, engine_.SaveFileData(&node, target.c_str(), 0));
    ASSERT_FALSE(g_recoveryCalls.empty());
    EXPECT_EQ(RESULT_OUTSIDE_VOLUME, g_recoveryCalls.back().error);
}

TEST_F(CarvingEngineTest, PhotoPreviewGoesToATemporaryFileInTheLogRoot) {
    Put(5000 % 4096, JpegFile(1500));
    Open();
    _FILE_NODE_ node{};
    std::snprintf(node.szFileName, sizeof node.szFileName, "5000.png");
    node.u64RecordSector = 5000 % 4096;
    node.u64FileSize = 1500;
    char16_t path[512] = {0};
    unsigned char buf[16];
    int len = sizeof buf;
    ASSERT_EQ(0, engine_.PreView(&node, path, 512, buf, len, RecordPreview, nullptr));
    EXPECT_EQ(0, len);
    const std::string expected = GetScanLogRootPath() + "tmp.png";
    EXPECT_EQ(expected, WideToUtf8(path));
    EXPECT_EQ(1500u, carving_test::ReadFile(expected).size());
    ASSERT_FALSE(g_previewCalls.empty());
    EXPECT_EQ(100, g_previewCalls.back().percent);
    EXPECT_EQ(0, g_previewCalls.back().error);
}

TEST_F(CarvingEngineTest, OtherPreviewsFillTheCallersBuffer) {
    Put(700, Bytes(16).Text(0, "%PDF-1.4"));
    Open();
    _FILE_NODE_ node{};
    std::snprintf(node.szFileName, sizeof node.szFileName, "700.pdf");
    node.u64RecordSector = 700;
    node.u64FileSize = 10000;
    char16_t path[64] = {0};
    std::vector<unsigned char> buf(4096, 0xAA);
    int len = static_cast<int>(buf.size());
    ASSERT_EQ(0, engine_.PreView(&node, path, 64, buf.data(), len, nullptr, nullptr));
    EXPECT_EQ(4096, len);
    EXPECT_EQ(0, std::memcmp(buf.data(), device_.data() + 700 * kSector, 4096));
    EXPECT_EQ(u'\0', path[0]);
    len = 16;
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, engine_.PreView(nullptr, path, 64, buf.data(), len, RecordPreview, nullptr));
    EXPECT_EQ(0, len);
}

TEST_F(CarvingEngineTest, FailedPhotoPreviewLeavesNoTemporaryFile) {
    Open();
    _FILE_NODE_ node{};
    std::snprintf(node.szFileName, sizeof node.szFileName, "4095.gif");
    node.u64RecordSector = 4095;
    node.u64FileSize = 5 * kSector;  // runs past the device
    char16_t path[512] = {0};
    int len = 0;
    EXPECT_NE(0, engine_.PreView(&node, path, 512, nullptr, len, nullptr, nullptr));
    EXPECT_FALSE(std::filesystem::exists(GetScanLogRootPath() + "tmp.gif"));
}

TEST_F(CarvingEngineTest, BrowsingAndSearchServeOnlyTheRoot) {
    Put(20, JpegFile(600));
    Put(40, Bytes(16).Text(0, "%PDF-1.4"));
    Put(41, Bytes(16).Text(0, "%%EOF"));
    Open();
    uint64_t consumed = 0;
    uint64_t found = 0;
    ASSERT_EQ(0, Carve(20, consumed, found));
    ASSERT_EQ(0, Carve(40, consumed, found));
    _FILE_NODE_ parent = Records()[0];
    std::vector<_FILE_NODE_> children;
    EXPECT_EQ(0, engine_.GetChildrenFileNode(&parent, 1, children));
    EXPECT_TRUE(children.empty());
    std::vector<__SEARCH_FILE_INFO__> hits;
    engine_.SearchFileNode(u"*.jpg|*.jpeg", hits);
    ASSERT_EQ(1u, hits.size());
    EXPECT_STREQ("20.jpg", hits[0].szFileName);
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, engine_.GetFileNodeParentDirPath(&parent, nullptr, 0));
    EXPECT_EQ(0, engine_.ScanDevice(nullptr));
    EXPECT_EQ(0, engine_.BuildBitMapInfo());
}

TEST(CarvingEngineWithoutStoreTest, AnswersEmptyAndRefusesSearchCallbacks) {
    CFileTypeRecovery engine;
    std::vector<_FILE_NODE_> nodes;
    EXPECT_EQ(0, engine.GetChildrenFileNode(nullptr, 0, nodes));
    EXPECT_TRUE(nodes.empty());
    EXPECT_EQ(0u, engine.GetLostFileCount());
    EXPECT_EQ(0, engine.InitSearchCallBack(nullptr, nullptr));
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(0, engine.SearchFileNode(u"*.jpg", hits));
}

}  // namespace
