// Carving over an image of files written by real encoders (tools/make_carving_corpus.sh):
// every placed file is found at its first sector with its type, files whose length is
// knowable are carved byte for byte, and streams end where the next file begins.
#include <gtest/gtest.h>

#include <map>

#include "carving/file_type_judge.h"
#include "carving/file_type_recovery.h"
#include "carving_test_support.h"
#include "foundation/disk_reader.h"
#include "foundation/text.h"

namespace {

using carving_test::TruthRow;
constexpr int kSector = 512;

class CarvingCorpusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        image_ = new std::vector<unsigned char>(carving_test::LoadCorpusImage());
        truth_ = new std::vector<TruthRow>(carving_test::LoadCorpusTruth());
    }
    static void TearDownTestSuite() {
        delete image_;
        delete truth_;
    }

    // Runs the carving walk the deep scan runs: every sector to ParseFileBuf, skipping what a
    // carved file consumes. Returns the records by first sector.
    std::map<uint64_t, _FILE_NODE_> CarveWholeImage(CFileTypeRecovery& engine,
                                                    const std::string& imagePath) {
        CDiskReader reader;
        const uint64_t sectors = image_->size() / kSector;
        EXPECT_EQ(0, reader.Init(Utf8ToWide(imagePath.c_str()).c_str(), sectors));
        CFileTypeJudge::ClearTsFileRanges();
        uint64_t found = 0;
        for (uint64_t s = 0; s < sectors;) {
            uint64_t consumed = 1;
            const int rc = engine.ParseFileBuf(image_->data() + s * kSector, kSector, s, s, sectors,
                                               -1, &reader, kSector, consumed, found);
            EXPECT_TRUE(rc == 0 || rc == RESULT_NOT_FOUND) << rc;
            s += consumed;
        }
        std::vector<_FILE_NODE_> nodes;
        EXPECT_EQ(0, engine.GetChildrenFileNode(nullptr, 0, nodes));
        EXPECT_EQ(found, nodes.size());
        std::map<uint64_t, _FILE_NODE_> bySector;
        for (const _FILE_NODE_& n : nodes) bySector[n.u64RecordSector] = n;
        return bySector;
    }

    // Where a stream that starts at row i ends: the next placed file's first sector.
    static uint64_t NextFileStart(size_t i) {
        return i + 1 < truth_->size() ? (*truth_)[i + 1].startSector : image_->size() / kSector;
    }

    static std::vector<unsigned char>* image_;
    static std::vector<TruthRow>* truth_;
};

std::vector<unsigned char>* CarvingCorpusTest::image_ = nullptr;
std::vector<TruthRow>* CarvingCorpusTest::truth_ = nullptr;

TEST_F(CarvingCorpusTest, FirstSectorOfEveryFileIsTypedWithItsCode) {
    CMemorySectorReader reader(image_->data(), image_->size());
    for (const TruthRow& row : *truth_) {
        CFileTypeJudge::SetReadContext(&reader, kSector, row.startSector);
        CFileTypeJudge::m_bIsNeedCheckTsFileRange = 1;
        CFileTypeJudge::m_bIsMtsFileHead = 0;
        const unsigned char* first = image_->data() + row.startSector * kSector;
        EXPECT_EQ(row.code, CFileTypeJudge::GetDataBufType(first, kSector)) << row.name;
        EXPECT_EQ(row.code, CFileTypeJudge::GetDataBufTypeByFullWalk(first, kSector)) << row.name;
    }
}

TEST_F(CarvingCorpusTest, OfficeFilesMatchTheirOwnExtensions) {
    CMemorySectorReader reader(image_->data(), image_->size());
    const std::map<std::string, std::string> ownExtension = {
        {"letter.doc", "doc"},   {"sheet.xls", "xls"},   {"slide.ppt", "ppt"},
        {"letter.docx", "docx"}, {"sheet.xlsx", "xlsx"}, {"slide.pptx", "pptx"},
        {"archive.zip", "zip"}};
    for (const TruthRow& row : *truth_) {
        auto it = ownExtension.find(row.name);
        if (it == ownExtension.end()) continue;
        const unsigned char* first = image_->data() + row.startSector * kSector;
        EXPECT_EQ(1, CFileTypeJudge::IsFileTypeMatching(first, kSector, it->second.c_str(), &reader,
                                                        kSector, row.startSector))
            << row.name;
    }
}

TEST_F(CarvingCorpusTest, CarvesEveryFileAtItsStartWithTheRightLength) {
    carving_test::ScopedLogRoot logRoot;
    const std::string imagePath = logRoot.path() + "/carving.img";
    carving_test::WriteFile(imagePath, *image_);
    CFileTypeRecovery engine;
    ASSERT_EQ(0, engine.Init(Utf8ToWide(imagePath.c_str()).c_str(), u'C'));
    const std::map<uint64_t, _FILE_NODE_> carved = CarveWholeImage(engine, imagePath);

    for (size_t i = 0; i < truth_->size(); ++i) {
        const TruthRow& row = (*truth_)[i];
        SCOPED_TRACE(row.name);
        auto it = carved.find(row.startSector);
        ASSERT_NE(it, carved.end());
        const _FILE_NODE_& node = it->second;
        EXPECT_EQ(std::to_string(row.startSector) + "." + row.ext, node.szFileName);
        if (row.exact) {
            EXPECT_EQ(row.size, node.u64FileSize);
        } else {
            EXPECT_EQ((NextFileStart(i) - row.startSector) * kSector, node.u64FileSize);
        }

        // Recovery writes exactly the carved length, and the file's own bytes come first.
        const std::string target = logRoot.path() + "/" + node.szFileName;
        _FILE_NODE_ copy = node;
        ASSERT_EQ(0, engine.SaveFileData(&copy, Utf8ToWide(target.c_str()).c_str(), 0));
        std::vector<unsigned char> bytes = carving_test::ReadFile(target);
        EXPECT_EQ(node.u64FileSize, bytes.size());
        if (bytes.size() >= row.size) {
            bytes.resize(row.size);
            carving_test::WriteFile(target, bytes);
            EXPECT_EQ(row.sha256, ferrowen::test::Sha256OfFile(target));
        }
    }
}

TEST_F(CarvingCorpusTest, NoFileIsCarvedInsideAnotherExactFile) {
    carving_test::ScopedLogRoot logRoot;
    const std::string imagePath = logRoot.path() + "/carving.img";
    carving_test::WriteFile(imagePath, *image_);
    CFileTypeRecovery engine;
    ASSERT_EQ(0, engine.Init(Utf8ToWide(imagePath.c_str()).c_str(), u'C'));
    const std::map<uint64_t, _FILE_NODE_> carved = CarveWholeImage(engine, imagePath);
    std::map<uint64_t, const TruthRow*> starts;
    for (const TruthRow& row : *truth_) starts[row.startSector] = &row;
    for (const auto& [sector, node] : carved) {
        if (starts.count(sector)) continue;
        ADD_FAILURE() << "unexpected carve " << node.szFileName << " of " << node.u64FileSize;
    }
}

}  // namespace
