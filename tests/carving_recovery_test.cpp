// The carving engine: the records it writes, what a carved file consumes, recovery of exactly
// the carved bytes, previews to a file or a buffer, and browsing through its store.
#include <gtest/gtest.h>

#include <filesystem>

#include "carving/file_type_recovery.h"
#include "carving_test_support.h"
#include "foundation/text.h"

namespace {

using carving_test::Bytes;
using carving_test::kSector;

Bytes JpegFile(size_t bytes) {
    Bytes b = carving_test::JpegHead(bytes);
    for (size_t i = 16; i < bytes; ++i) b.v[i] = static_cast<unsigned char>(0x20 + i % 64);
    return b.U16(bytes - 2, 0xD9FF);
}

std::vector<std::pair<int, int>> g_reports, g_previews;  // percent and error of each call
int RecordRecovery(void*, int percent, int, int error, const char16_t*) {
    g_reports.push_back({percent, error});
    return 0;
}
int RecordPreview(void*, int percent, int error) {
    g_previews.push_back({percent, error});
    return 0;
}
std::pair<int, int> Last(const std::vector<std::pair<int, int>>& calls) {
    return calls.empty() ? std::make_pair(-1, -1) : calls.back();
}

// A 4096-sector device the test lays out, written to an image the engine is bound to.
class CarvingEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_reports.clear();
        g_previews.clear();
    }
    void Put(uint64_t sector, const Bytes& b) { dev_.Put(sector * kSector, b); }
    void Open() {
        const std::u16string path = Utf8ToWide((root_.path() + "/device.img").c_str());
        carving_test::WriteFile(WideToUtf8(path), dev_.bytes);
        ASSERT_EQ(0, engine_.Init(path.c_str(), u'E'));
        engine_.InitCallBack(nullptr, RecordRecovery, nullptr, 90);
        ASSERT_EQ(0, reader_.Init(path.c_str(), dev_.bytes.size() / kSector));
    }
    int Carve(uint64_t sector, uint64_t& consumed) {
        consumed = 1;
        return engine_.ParseFileBuf(dev_.Sector(sector), kSector, sector, sector, 4096, -1,
                                    &reader_, kSector, consumed, found_);
    }
    std::vector<_FILE_NODE_> Records() {
        std::vector<_FILE_NODE_> nodes;
        EXPECT_EQ(0, engine_.GetChildrenFileNode(nullptr, 0, nodes));
        return nodes;
    }
    std::string Target(const char* name) { return root_.path() + "/" + name; }
    int Save(_FILE_NODE_ node, const std::string& target) {
        return engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0);
    }
    static _FILE_NODE_ Node(const char* name, uint64_t sector, uint64_t size) {
        _FILE_NODE_ node{};
        std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name);
        node.u64RecordSector = sector;
        node.u64FileSize = size;
        return node;
    }

    carving_test::ScopedLogRoot root_;
    carving_test::Device dev_{4096};
    CDiskReader reader_;
    CFileTypeRecovery engine_;
    uint64_t found_ = 0;
};

TEST_F(CarvingEngineTest, CarvedJpegBecomesARecordNamedByItsSectorAndIsRecoveredExactly) {
    Put(2048, JpegFile(3000));
    Open();
    uint64_t consumed = 0;
    found_ = 5;
    ASSERT_EQ(0, Carve(2048, consumed));
    EXPECT_EQ(6u, found_);
    EXPECT_EQ(6u, consumed);  // ceil(3000 / 512)
    const std::vector<_FILE_NODE_> nodes = Records();
    ASSERT_EQ(1u, nodes.size());
    const _FILE_NODE_& n = nodes[0];
    EXPECT_STREQ("2048.jpg", n.szFileName);
    EXPECT_EQ(3000u, n.u64FileSize);
    EXPECT_EQ(uint32_t{FILE_SOURCE_FILE_TYPE}, n.nFileSource);
    EXPECT_EQ(uint32_t{u'E'}, n.wcDriveLetter);
    unsigned int count = 0;
    EXPECT_EQ(0, engine_.GetChildrenFileCount(nullptr, 0, count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(1u, engine_.GetLostFileCount());

    ASSERT_EQ(0, Save(n, Target("out.jpg")));
    const std::vector<unsigned char> bytes = carving_test::ReadFile(Target("out.jpg"));
    ASSERT_EQ(3000u, bytes.size());
    EXPECT_EQ(0, std::memcmp(bytes.data(), dev_.Sector(2048), 3000));
    EXPECT_EQ(Last(g_reports), std::make_pair(100, 0));
}

TEST_F(CarvingEngineTest, OnlyCarvedFilesAreRecordedAndAWavConsumesOneSectorSoAJpegInsideIsFound) {
    Put(10, carving_test::PeImage());
    Put(100, Bytes(44).Text(0, "RIFF").U32(4, 10'000'000 - 8).Text(8, "WAVEfmt "));
    Put(101, JpegFile(1024));
    Open();
    uint64_t consumed = 0;
    EXPECT_EQ(RESULT_NOT_FOUND, Carve(10, consumed));
    EXPECT_EQ(RESULT_NOT_FOUND, Carve(11, consumed));
    EXPECT_EQ(1u, consumed);
    EXPECT_EQ(0u, found_);
    EXPECT_TRUE(Records().empty());
    ASSERT_EQ(0, Carve(100, consumed));
    EXPECT_EQ(1u, consumed);
    ASSERT_EQ(0, Carve(101, consumed));
    EXPECT_EQ(2u, found_);
    std::vector<_FILE_NODE_> nodes = Records();
    ASSERT_EQ(2u, nodes.size());
    EXPECT_STREQ("100.wav", nodes[0].szFileName);
    EXPECT_EQ(10'000'000u, nodes[0].u64FileSize);
    EXPECT_STREQ("101.jpg", nodes[1].szFileName);
    // Browsing and search serve only the root.
    std::vector<_FILE_NODE_> children;
    EXPECT_EQ(0, engine_.GetChildrenFileNode(&nodes[0], 1, children));
    EXPECT_TRUE(children.empty());
    std::vector<__SEARCH_FILE_INFO__> hits;
    engine_.SearchFileNode(u"*.jpg|*.jpeg", hits);
    ASSERT_EQ(1u, hits.size());
    EXPECT_STREQ("101.jpg", hits[0].szFileName);
    EXPECT_EQ(RESULT_INVALID_ARGUMENT, engine_.GetFileNodeParentDirPath(&nodes[0], nullptr, 0));
    EXPECT_EQ(0, engine_.ScanDevice(nullptr));
    EXPECT_EQ(0, engine_.BuildBitMapInfo());
}

TEST_F(CarvingEngineTest, EmptyRecordGivesAnEmptyFileAndAReadPastTheDeviceItsError) {
    Open();
    ASSERT_EQ(0, Save(Node("", 5, 0), Target("empty.bin")));
    EXPECT_TRUE(carving_test::ReadFile(Target("empty.bin")).empty());
    EXPECT_EQ(g_reports, (std::vector<std::pair<int, int>>{{100, 0}}));
    EXPECT_EQ(RESULT_OUTSIDE_VOLUME, Save(Node("", 4090, 100 * kSector), Target("short.bin")));
    EXPECT_EQ(RESULT_OUTSIDE_VOLUME, Last(g_reports).second);
}

TEST_F(CarvingEngineTest, PhotoPreviewsGoToATemporaryFileOthersToTheCallersBuffer) {
    Put(904, JpegFile(1500));
    Put(700, Bytes(16).Text(0, "%PDF-1.4"));
    Open();
    _FILE_NODE_ photo = Node("904.png", 904, 1500), pdf = Node("700.pdf", 700, 10000);
    char16_t path[512] = {0};
    std::vector<unsigned char> buf(4096, 0xAA);
    int len = 16;
    ASSERT_EQ(0, engine_.PreView(&photo, path, 512, buf.data(), len, RecordPreview, nullptr));
    EXPECT_EQ(0, len);
    EXPECT_EQ(GetScanLogRootPath() + "tmp.png", WideToUtf8(path));
    EXPECT_EQ(1500u, carving_test::ReadFile(GetScanLogRootPath() + "tmp.png").size());
    EXPECT_EQ(Last(g_previews), std::make_pair(100, 0));

    path[0] = u'\0';
    len = static_cast<int>(buf.size());
    ASSERT_EQ(0, engine_.PreView(&pdf, path, 64, buf.data(), len, nullptr, nullptr));
    EXPECT_EQ(4096, len);
    EXPECT_EQ(0, std::memcmp(buf.data(), dev_.Sector(700), 4096));
    EXPECT_EQ(u'\0', path[0]);

    // A photo running past the device leaves no temporary file.
    _FILE_NODE_ cut = Node("4095.gif", 4095, 5 * kSector);
    len = 0;
    EXPECT_NE(0, engine_.PreView(&cut, path, 512, nullptr, len, nullptr, nullptr));
    EXPECT_FALSE(std::filesystem::exists(GetScanLogRootPath() + "tmp.gif"));
}

}  // namespace
