// Carving over images of files written by real encoders, against their ground truth:
// carving (tools/make_carving_corpus.sh) and modern (tools/make_carving_modern.sh: the formats
// of today's cameras, phones and players, with random bytes, zeros or nothing after each).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "carving/file_type_recovery.h"
#include "carving_test_support.h"
#include "foundation/text.h"

namespace {

using carving_test::kSector;
using J = CFileTypeJudge;

// One placed file: name, the extension and code it is carved under, first sector, size, digest,
// and whether its length is knowable from an end marker or size field.
struct TruthRow {
    std::string name, ext;
    uint32_t code;
    uint64_t startSector, size;
    std::string sha256;
    bool exact;
};

std::vector<TruthRow> LoadTruth(const std::string& fixture) {
    std::ifstream in(ferrowen::test::FixtureDir() + "/carving/" + fixture + ".truth.tsv");
    std::vector<TruthRow> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        TruthRow r;
        fields >> r.name >> r.ext >> r.code >> r.startSector >> r.size >> r.sha256 >> r.exact;
        if (!fields) throw std::runtime_error("bad truth line: " + line);
        rows.push_back(r);
    }
    if (rows.empty()) throw std::runtime_error(fixture + ".truth.tsv missing or empty");
    return rows;
}

// The fewest first bytes from which each kind of file in the first corpus is recognised.
const std::map<std::string, size_t> kShortest = {
    {"jpg", 16},  {"mp3", 10},  {"png", 8},   {"doc", 8},  {"xls", 8},   {"ppt", 8},
    {"avi", 16},  {"gif", 8},   {"docx", 31}, {"wav", 16}, {"bmp", 40},  {"mp4", 32},
    {"xlsx", 31}, {"mkv", 16},  {"pdf", 5},   {"tif", 4},  {"zip", 48},  {"flv", 16},
    {"ico", 38},  {"mpeg", 18}, {"7z", 5},    {"mov", 16}, {"pptx", 31}, {"gz", 16},
    {"psd", 40},  {"ts", 188},  {"cab", 36},  {"db", 16},  {"wmv", 24},  {"ttf", 256}};

// Every placed file is typed at its first sector, from its fewest bytes on, and matches the
// extension it was saved as (compound documents walk to "fla"). The carving walk the deep scan
// runs, every sector to ParseFileBuf skipping what a carved file consumes, finds each file at
// its start and nowhere else, with its exact length where that is knowable and else up to the
// next file's start, and recovery writes that length with the file's own bytes first.
class CarvingCorpusTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CarvingCorpusTest, EveryFileIsTypedAndCarvedAtItsStartWithTheRightLengthAndNothingElse) {
    carving::CarveScan scan;
    carving_test::ScopedLogRoot logRoot;
    const ferrowen::test::TempDir dir;
    std::filesystem::create_directory(dir.path() + "/carving");
    const std::string fixture = GetParam();
    const std::string path = ferrowen::test::UnpackFixture("carving/" + fixture, dir);
    const std::vector<unsigned char> image = carving_test::ReadFile(path);
    const std::vector<TruthRow> truth = LoadTruth(fixture);
    const uint64_t sectors = image.size() / kSector;
    CMemorySectorReader memory(image.data(), image.size());
    for (const TruthRow& row : truth) {
        SCOPED_TRACE(row.name);
        scan.SetReadContext(&memory, kSector, row.startSector);
        scan.m_bIsNeedCheckTsFileRange = 1;
        scan.m_bIsMtsFileHead = 0;
        const unsigned char* first = image.data() + row.startSector * kSector;
        EXPECT_EQ(row.code, J::GetDataBufType(scan, first, kSector));
        EXPECT_EQ(row.code, J::GetDataBufTypeByFullWalk(scan, first, kSector));
        if (fixture == "carving") {
            EXPECT_EQ(row.code, J::GetDataBufType(scan, first, kShortest.at(row.ext)));
            EXPECT_NE(row.code, J::GetDataBufType(scan, first, kShortest.at(row.ext) - 1));
        }
        const std::string own = row.name.substr(row.name.rfind('.') + 1);
        EXPECT_EQ(1, J::IsFileTypeMatching(first, kSector, own.c_str(), &memory, kSector,
                                           row.startSector));
    }

    CFileTypeRecovery engine;
    ASSERT_EQ(0, engine.Init(Utf8ToWide(path.c_str()).c_str(), u'C'));
    CDiskReader reader;
    ASSERT_EQ(0, reader.Init(Utf8ToWide(path.c_str()).c_str(), sectors));
    uint64_t found = 0;
    for (uint64_t s = 0, consumed; s < sectors; s += consumed) {
        consumed = 1;
        const int rc = engine.ParseFileBuf(image.data() + s * kSector, kSector, s, s, sectors, -1,
                                           &reader, kSector, consumed, found);
        EXPECT_TRUE(rc == 0 || rc == RESULT_NOT_FOUND) << rc;
    }
    std::vector<_FILE_NODE_> nodes;
    EXPECT_EQ(0, engine.GetChildrenFileNode(nullptr, 0, nodes));
    EXPECT_EQ(found, nodes.size());
    std::map<uint64_t, _FILE_NODE_> carved;
    for (const _FILE_NODE_& n : nodes) carved[n.u64RecordSector] = n;

    for (size_t i = 0; i < truth.size(); ++i) {
        const TruthRow& row = truth[i];
        SCOPED_TRACE(row.name);
        auto it = carved.find(row.startSector);
        ASSERT_NE(it, carved.end());
        _FILE_NODE_ node = it->second;
        carved.erase(it);
        EXPECT_EQ(std::to_string(row.startSector) + "." + row.ext, node.szFileName);
        const uint64_t next = i + 1 < truth.size() ? truth[i + 1].startSector : sectors;
        EXPECT_EQ(row.exact ? row.size : (next - row.startSector) * kSector, node.u64FileSize);

        const std::string target = logRoot.path() + "/" + node.szFileName;
        ASSERT_EQ(0, engine.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0));
        std::vector<unsigned char> bytes = carving_test::ReadFile(target);
        EXPECT_EQ(node.u64FileSize, bytes.size());
        if (bytes.size() >= row.size) {
            bytes.resize(row.size);
            carving_test::WriteFile(target, bytes);
            EXPECT_EQ(row.sha256, ferrowen::test::Sha256OfFile(target));
        }
    }
    for (const auto& [sector, node] : carved)
        ADD_FAILURE() << "unexpected carve " << node.szFileName << " of " << node.u64FileSize;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CarvingCorpusTest, ::testing::Values("carving", "modern"));

}  // namespace
