#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::TempDir;
namespace fs = std::filesystem;

constexpr uint32_t kRootCluster = 2;
constexpr uint64_t kRootKey = kRootCluster;  // level 0

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Names(const std::vector<_FILE_NODE_>& nodes) {
    std::vector<std::string> names;
    for (const auto& n : nodes) names.emplace_back(n.szFileName);
    return names;
}

// Read system calls of this process so far (the kernel's I/O accounting).
long long ReadSyscalls() {
    std::ifstream in("/proc/self/io");
    std::string key;
    long long value = 0;
    while (in >> key >> value) {
        if (key == "syscr:") return value;
    }
    return -1;
}

class ScanStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        CLogFileManager::GetInstance()->Init();
        CLogFileManager::GetInstance()->AddDirIndex();
        folder_ = dir_.path() + "/Ferrowen/ScanLog/1/";
    }

    std::unique_ptr<CScanResultFileManager> Open(const char16_t* name = u"Fast_0_2024101512") {
        auto store = std::make_unique<CScanResultFileManager>();
        EXPECT_EQ(store->Init(name), 0);
        return store;
    }

    static uint32_t Add(CScanResultFileManager& store, const char* name, bool isDir = false,
                        uint32_t cluster = 0, uint32_t health = 1) {
        _FILE_NODE_* node = store.CreateFileNode(sizeof(_FILE_NODE_));
        node->bIsDir = isDir ? 1 : 0;
        node->uFileIndex = store.GetFileIndex();
        node->uClusterNO = cluster;
        node->bDataHealth = health;
        node->u64FileSize = 100;
        std::strncpy(node->szFileName, name, sizeof node->szFileName - 1);
        return node->uFileIndex;
    }

    // root(2)/ root.txt, A(10)/ {a.jpg, bad.jpg (damaged), B(20)/ {deep.doc}}
    void BuildTree(CScanResultFileManager& store) {
        const uint32_t a = Add(store, "A", true, 10);
        store.AddChildren(kRootCluster, 0, a, 10, "A");
        store.AddChildren(kRootCluster, 0, Add(store, "root.txt"), 0, nullptr);
        const uint32_t b = Add(store, "B", true, 20);
        store.AddChildren(10, 1, b, 20, "B");
        store.AddChildren(10, 1, Add(store, "a.jpg"), 0, nullptr);
        store.AddChildren(10, 1, Add(store, "bad.jpg", false, 0, 0), 0, nullptr);
        store.AddChildren(20, 2, Add(store, "deep.doc"), 0, nullptr);
    }

    std::vector<_FILE_NODE_> Children(CScanResultFileManager& store, uint64_t key) {
        std::vector<_FILE_NODE_> out;
        EXPECT_EQ(store.GetChildrenFileNode(key, out), 0);
        return out;
    }
    unsigned int Count(CScanResultFileManager& store, uint64_t key) {
        unsigned int count = 99;
        EXPECT_EQ(store.GetChildrenFileCount(key, count), 0);
        return count;
    }
    std::u16string ParentPath(CScanResultFileManager& store, const _FILE_NODE_& node) {
        char16_t path[512];
        EXPECT_EQ(store.GetParentDirPath(&node, path, 512), 0);
        return path;
    }
    std::vector<_FILE_NODE_> Search(CScanResultFileManager& store, const char16_t* key,
                                    int expected = 0) {
        std::vector<_FILE_NODE_> out;
        EXPECT_EQ(store.SearchFileNodeInfo(key, out), expected);
        return out;
    }

    TempDir dir_;
    std::string folder_;
};

// --- writing

TEST_F(ScanStoreTest, EmptyStoreAnswersEmptyAndLeavesAnEmptyRelationFile) {
    {
        auto store = Open();
        EXPECT_EQ(store->GetNodeFilePath(), folder_ + "Fast_0_2024101512");
        EXPECT_TRUE(Children(*store, 5).empty());
        EXPECT_TRUE(Children(*store, 0).empty());
        EXPECT_EQ(Count(*store, 0), 0u);
        EXPECT_EQ(store->FlushBufToFile(), 0);
        EXPECT_EQ(store->GetFileIndex(), 0u);
    }
    EXPECT_EQ(fs::file_size(folder_ + "Fast_0_2024101512"), 0u);
    EXPECT_EQ(fs::file_size(folder_ + "Fast_0_2024101512_Relation"), 0u);
    EXPECT_EQ(fs::file_size(folder_ + "Fast_0_2024101512_DirInfo"), 0u);
}

TEST_F(ScanStoreTest, The201stRecordPushesTheFirst200ToTheNodeFile) {
    auto store = Open();
    for (int i = 0; i < 200; ++i) Add(*store, "f.txt");
    EXPECT_EQ(fs::file_size(store->GetNodeFilePath()), 0u);
    _FILE_NODE_* first = store->CreateFileNode(344);
    EXPECT_EQ(fs::file_size(store->GetNodeFilePath()), 68800u);
    _FILE_NODE_* second = store->CreateFileNode(344);
    EXPECT_EQ(reinterpret_cast<char*>(second) - reinterpret_cast<char*>(first), 344);
    EXPECT_EQ(store->GetFileIndex(), 202u);
    EXPECT_EQ(store->CreateFileNode(100), nullptr);
    EXPECT_EQ(store->GetFileIndex(), 202u);
}

TEST_F(ScanStoreTest, RelationFileTextIsExact) {
    {
        auto store = Open();
        for (int i = 0; i < 7; ++i) Add(*store, "x");
        store->AddChildren(5, 0, 1, 0, nullptr);
        store->AddChildren(43, 1, 3, 0, nullptr);
        store->AddChildren(5, 0, 2, 0, nullptr);
        store->AddChildren(5, 0, 7, 0, nullptr);
    }
    EXPECT_EQ(ReadFile(folder_ + "Fast_0_2024101512_Relation"),
              " | 5 - [1,2,7] | 4294967339 - [3]");
}

TEST_F(ScanStoreTest, LargeFolderIsWrittenInPiecesAsOneEntry) {
    std::vector<uint32_t> children;
    {
        auto store = Open();
        for (uint32_t i = 1; i <= 10000; ++i) {
            store->AddChildren(5, 0, i, 0, nullptr);
            children.push_back(i);
        }
        store->AddChildren(7, 1, 3, 0, nullptr);
    }
    const std::string text = ReadFile(folder_ + "Fast_0_2024101512_Relation");
    EXPECT_EQ(text, FormatRelationEntry(5, children) + " | 4294967303 - [3]");
    EXPECT_EQ(text.substr(0, 16), " | 5 - [1,2,3,4,");
}

TEST_F(ScanStoreTest, DirInfoFileHoldsOneRecordPerFolder) {
    {
        auto store = Open();
        BuildTree(*store);
    }
    const std::string bytes = ReadFile(folder_ + "Fast_0_2024101512_DirInfo");
    ASSERT_EQ(bytes.size(), 2 * sizeof(_DIR_FILE_INFO_));
    _DIR_FILE_INFO_ second;
    std::memcpy(&second, bytes.data() + sizeof second, sizeof second);
    EXPECT_EQ(second.uClusterNO, 20u);
    EXPECT_EQ(second.uFileIndex, 3u);
    EXPECT_STREQ(second.szDirName, "B");
}

TEST_F(ScanStoreTest, InitRefusesNamesThatAreNotPlainNames) {
    CScanResultFileManager store;
    EXPECT_EQ(store.Init(nullptr), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(store.Init(u""), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(store.Init(u".."), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(store.Init(u"../escape"), RESULT_INVALID_ARGUMENT);
    EXPECT_FALSE(fs::exists(dir_.path() + "/Ferrowen/escape"));
}

TEST_F(ScanStoreTest, StoreWithoutInitAcceptsRecordsAndAnswersEmpty) {
    CScanResultFileManager store;
    Add(store, "lost.txt");
    store.AddChildren(kRootCluster, 0, 1, 0, nullptr);
    std::vector<_FILE_NODE_> out;
    EXPECT_EQ(store.GetChildrenFileNode(kRootKey, out), 0);
    EXPECT_EQ(Names(out), std::vector<std::string>{"lost.txt"});  // still in the buffer
    EXPECT_NE(store.SearchFileNodeInfo(u"*.txt", out), 1);
}

// --- browsing

TEST_F(ScanStoreTest, ChildrenAreSortedAndHideDamagedPictures) {
    auto store = Open();
    BuildTree(*store);
    store->FlushBufToFile();
    EXPECT_EQ(Names(Children(*store, 0)), (std::vector<std::string>{"root.txt", "A"}));
    EXPECT_EQ(Names(Children(*store, kRootKey)), (std::vector<std::string>{"root.txt", "A"}));
    EXPECT_EQ(Names(Children(*store, MakeRelationKey(1, 10))),
              (std::vector<std::string>{"a.jpg", "B"}));
    EXPECT_EQ(Names(Children(*store, MakeRelationKey(2, 20))),
              std::vector<std::string>{"deep.doc"});
    EXPECT_TRUE(Children(*store, MakeRelationKey(3, 20)).empty());
    EXPECT_EQ(store->GetRelationMap().count(MakeRelationKey(3, 20)), 0u);  // not created
}

TEST_F(ScanStoreTest, CountsEveryFileBelowAFolderIncludingHiddenPictures) {
    auto store = Open();
    BuildTree(*store);
    store->FlushBufToFile();
    EXPECT_EQ(Count(*store, 0), 4u);
    EXPECT_EQ(Count(*store, MakeRelationKey(1, 10)), 3u);
    EXPECT_EQ(Count(*store, MakeRelationKey(2, 20)), 1u);
    EXPECT_EQ(Count(*store, MakeRelationKey(2, 99)), 0u);
}

TEST_F(ScanStoreTest, ParentPathsLeaveOutTheRoot) {
    auto store = Open();
    BuildTree(*store);
    store->FlushBufToFile();
    const auto top = Children(*store, kRootKey);
    EXPECT_EQ(ParentPath(*store, top[0]), u"");  // root.txt
    EXPECT_EQ(ParentPath(*store, top[1]), u"");  // A
    const auto deep = Children(*store, MakeRelationKey(2, 20));
    EXPECT_EQ(ParentPath(*store, deep[0]), u"A/B/");
    std::vector<_FILE_NODE_> chain;
    EXPECT_EQ(store->GetParentFileNode(&deep[0], chain), 0);
    EXPECT_EQ(Names(chain), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(store->GetParentFileNode(nullptr, chain), RESULT_INVALID_ARGUMENT);
    char16_t path[4];
    EXPECT_EQ(store->GetParentDirPath(nullptr, path, 4), RESULT_INVALID_ARGUMENT);
}

TEST_F(ScanStoreTest, ParentFolderWithoutDirInfoIsFoundInTheNodeFile) {
    auto store = Open();
    const uint32_t folder = Add(*store, "Docs", true, 30);
    store->AddChildren(kRootCluster, 0, folder, 30, nullptr);  // no folder name recorded
    const uint32_t file = Add(*store, "x.txt");
    store->AddChildren(30, 1, file, 0, nullptr);
    store->FlushBufToFile();
    _FILE_NODE_ node{};
    node.uFileIndex = file;
    EXPECT_EQ(ParentPath(*store, node), u"Docs/");
}

TEST_F(ScanStoreTest, FolderLookupByIdentifyingNumber) {
    auto store = Open();
    Add(*store, "file-with-30.txt", false, 30);
    Add(*store, "Folder30", true, 30);
    Add(*store, "only-a-file", false, 31);
    _FILE_NODE_ out{};
    EXPECT_EQ(store->GetFileNodeByClusterNO(30, out), 0);
    EXPECT_STREQ(out.szFileName, "Folder30");
    EXPECT_EQ(store->GetFileNodeByClusterNO(31, out), RESULT_NOT_FOUND);
    EXPECT_STREQ(out.szFileName, "only-a-file");
    EXPECT_EQ(store->GetFileNodeByClusterNO(32, out), RESULT_NOT_FOUND);
}

// --- reopening

TEST_F(ScanStoreTest, ReopenedStoreBrowsesTheSameTree) {
    {
        auto store = Open();
        BuildTree(*store);
    }
    auto store = Open();
    EXPECT_EQ(store->GetFileIndex(), 6u);
    EXPECT_EQ(Names(Children(*store, 0)), (std::vector<std::string>{"root.txt", "A"}));
    EXPECT_EQ(Names(Children(*store, MakeRelationKey(1, 10))),
              (std::vector<std::string>{"a.jpg", "B"}));
    EXPECT_EQ(Count(*store, 0), 4u);
    const auto deep = Children(*store, MakeRelationKey(2, 20));
    ASSERT_EQ(deep.size(), 1u);
    EXPECT_EQ(ParentPath(*store, deep[0]), u"A/B/");
    EXPECT_EQ(store->GetDirFileInfos().size(), 2u);
}

TEST_F(ScanStoreTest, ReopeningGivesTheRootAndALevelOneFolderFromTheRelationText) {
    {
        auto store = Open();
        Add(*store, "one.txt");
        Add(*store, "two.txt");
        Add(*store, "three.txt");
    }
    std::ofstream(folder_ + "Fast_0_2024101512_Relation") << " | 5 - [1,2] | 4294967307 - [3]";
    auto store = Open();
    EXPECT_EQ(Names(Children(*store, 0)), (std::vector<std::string>{"one.txt", "two.txt"}));
    EXPECT_EQ(Names(Children(*store, 4294967307ull)), std::vector<std::string>{"three.txt"});
    EXPECT_EQ(store->GetRelationMap().begin()->first, 5u);
}

TEST_F(ScanStoreTest, RecordsAddedAfterReopeningContinueTheNumbering) {
    {
        auto store = Open();
        BuildTree(*store);
    }
    auto store = Open();
    const uint32_t added = Add(*store, "later.txt");
    EXPECT_EQ(added, 7u);
    store->AddChildren(20, 2, added, 0, nullptr);
    store->FlushBufToFile();
    EXPECT_EQ(fs::file_size(store->GetNodeFilePath()), 7u * 344u);
    EXPECT_EQ(Names(Children(*store, MakeRelationKey(2, 20))),
              (std::vector<std::string>{"deep.doc", "later.txt"}));
    EXPECT_EQ(Names(Children(*store, kRootKey)), (std::vector<std::string>{"root.txt", "A"}));
}

TEST_F(ScanStoreTest, TornNodeAndDirInfoTailsAreDropped) {
    {
        auto store = Open();
        BuildTree(*store);
    }
    std::ofstream(folder_ + "Fast_0_2024101512", std::ios::app) << "torn";
    std::ofstream(folder_ + "Fast_0_2024101512_DirInfo", std::ios::app) << "torn";
    auto store = Open();
    EXPECT_EQ(store->GetFileIndex(), 6u);
    EXPECT_EQ(store->GetDirFileInfos().size(), 2u);
    Add(*store, "next.txt");
    store->FlushBufToFile();
    EXPECT_EQ(fs::file_size(store->GetNodeFilePath()), 7u * 344u);
}

// --- damaged relation files

TEST_F(ScanStoreTest, ChildIndicesWithoutRecordsAreSkipped) {
    {
        auto store = Open();
        Add(*store, "real.txt");
    }
    std::ofstream(folder_ + "Fast_0_2024101512_Relation") << " | 2 - [0,99,1,4294967295,-3]";
    auto store = Open();
    EXPECT_EQ(Names(Children(*store, 0)), std::vector<std::string>{"real.txt"});
    EXPECT_EQ(Count(*store, 0), 1u);
}

TEST_F(ScanStoreTest, FolderCyclesEndTheCountAndThePath) {
    auto store = Open();
    // Folder X (7) holds folder Y (8), which holds X again, at every level.
    const uint32_t x = Add(*store, "X", true, 7);
    const uint32_t y = Add(*store, "Y", true, 8);
    const uint32_t f = Add(*store, "f.txt");
    store->AddChildren(1, 0, x, 7, "X");
    for (uint32_t level = 1; level < 64; level += 2) {
        store->AddChildren(7, level, y, 8, nullptr);
        store->AddChildren(7, level, y, 8, nullptr);
        store->AddChildren(7, level, f, 0, nullptr);
        store->AddChildren(8, level + 1, x, 7, nullptr);
        store->AddChildren(8, level + 1, x, 7, nullptr);
    }
    store->FlushBufToFile();
    EXPECT_EQ(Count(*store, 0), 32u);
    _FILE_NODE_ node{};
    node.uFileIndex = f;
    std::vector<_FILE_NODE_> chain;
    EXPECT_EQ(store->GetParentFileNode(&node, chain), 0);
    EXPECT_LE(chain.size(), 3u);
}

TEST_F(ScanStoreTest, LoadedRelationTextLongerThanItsMapIsCutOnRewrite) {
    {
        auto store = Open();
        Add(*store, "a.txt");
        Add(*store, "b.txt");
    }
    std::ofstream(folder_ + "Fast_0_2024101512_Relation")
        << " | 2 - [1] | 2 - [1] and some trailing garbage";
    auto store = Open();
    store->AddChildren(kRootCluster, 0, 2, 0, nullptr);
    store->FlushBufToFile();
    EXPECT_EQ(ReadFile(store->GetRelationFilePath()), " | 2 - [1,2]");
}

// --- searching

TEST_F(ScanStoreTest, SearchByPictureTypesSkipsFoldersDamagedPicturesAndNamesWithoutExtension) {
    auto store = Open();
    Add(*store, "photo.JPG", false, 0, 1);
    Add(*store, "broken.jpg", false, 0, 0);
    Add(*store, "x.png", false, 0, 1);
    Add(*store, "folder.jpg", true, 9, 1);
    Add(*store, "readme");
    Add(*store, "song.mp3");
    EXPECT_EQ(Names(Search(*store, u"*.jpg|*.png")),
              (std::vector<std::string>{"photo.JPG", "x.png"}));
    EXPECT_TRUE(Search(*store, u"*.txt").empty());
}

TEST_F(ScanStoreTest, SearchMatchesExtensionsBySubstring) {
    auto store = Open();
    Add(*store, "a.jp");
    Add(*store, "b.jpe");
    Add(*store, "c.jpeg");
    Add(*store, "d.jpgx");
    EXPECT_EQ(Names(Search(*store, u"*.jpeg")),
              (std::vector<std::string>{"a.jp", "b.jpe", "c.jpeg"}));
}

TEST_F(ScanStoreTest, OtherModeTakesUnknownAndMissingExtensions) {
    auto store = Open();
    Add(*store, "readme");
    Add(*store, "data.xyz");
    Add(*store, "notes.doc");
    Add(*store, "ends.");
    Add(*store, "short.do");  // ".do" occurs in ".doc": counted as known
    EXPECT_EQ(Names(Search(*store, u"*.other")),
              (std::vector<std::string>{"data.xyz", "ends.", "readme"}));
    EXPECT_EQ(Names(Search(*store, u"*.doc|*.other")),
              (std::vector<std::string>{"data.xyz", "ends.", "notes.doc", "readme", "short.do"}));
}

TEST_F(ScanStoreTest, OtherModeIsOffForVeryLargeNodeFiles) {
    auto store = Open();
    Add(*store, "readme");
    Add(*store, "data.xyz");
    Add(*store, "pic.png");
    store->FlushBufToFile();
    // Zero records after the real ones: nameless files, which other mode would also take.
    ASSERT_EQ(::truncate(store->GetNodeFilePath().c_str(), 344 * 390200), 0);
    ASSERT_GT(fs::file_size(store->GetNodeFilePath()), 0x7FFFFFFu);
    EXPECT_TRUE(Search(*store, u"*.other").empty());
    EXPECT_EQ(Names(Search(*store, u"*.png|*.other")), std::vector<std::string>{"pic.png"});
}

TEST_F(ScanStoreTest, ResultsSortFilesBeforeFoldersIgnoringCase) {
    auto store = Open();
    Add(*store, "b.txt");
    Add(*store, "Z.txt", true, 5);
    Add(*store, "A.txt");
    Add(*store, "c.txt");
    store->AddChildren(1, 0, 1, 0, nullptr);
    store->AddChildren(1, 0, 2, 5, "Z.txt");
    store->AddChildren(1, 0, 3, 0, nullptr);
    store->AddChildren(1, 0, 4, 0, nullptr);
    store->FlushBufToFile();
    EXPECT_EQ(Names(Search(*store, u"*.txt")),
              (std::vector<std::string>{"A.txt", "b.txt", "c.txt"}));
    EXPECT_EQ(Names(Children(*store, 0)),
              (std::vector<std::string>{"A.txt", "b.txt", "c.txt", "Z.txt"}));
}

TEST_F(ScanStoreTest, NamesWithoutTerminatorAreReadWithinTheirField) {
    auto store = Open();
    _FILE_NODE_* node = store->CreateFileNode(344);
    std::memset(node->szFileName, 'a', sizeof node->szFileName);
    std::memcpy(node->szFileName + 251, ".jpgx", 5);
    node->bDataHealth = 0;
    EXPECT_EQ(Search(*store, u"*.jpgx").size(), 1u);
}

int CountingCallback(void* ctx, int percent, const char16_t* text) {
    auto* calls = static_cast<std::vector<int>*>(ctx);
    calls->push_back(percent);
    EXPECT_EQ(text, nullptr);
    return calls->size() >= 3 ? 1 : 0;
}

TEST_F(ScanStoreTest, SearchReportsProgressPerChunkAndStopsWhenAsked) {
    auto store = Open();
    for (int i = 0; i < 1000; ++i) Add(*store, "p.jpg");
    std::vector<int> calls;
    store->InitSearchCallBack(CountingCallback, &calls);
    const auto found = Search(*store, u"*.jpg", ERROR_USER_CANCEL);
    EXPECT_EQ(calls, (std::vector<int>{20, 40, 60}));
    EXPECT_EQ(found.size(), 600u);
}

TEST_F(ScanStoreTest, SearchReads200RecordsPerSystemCall) {
    auto store = Open();
    for (int i = 0; i < 2000; ++i) Add(*store, i % 2 ? "p.jpg" : "d.doc");
    store->FlushBufToFile();
    const long long before = ReadSyscalls();
    ASSERT_GE(before, 0) << "no I/O accounting in /proc/self/io";
    const auto found = Search(*store, u"*.jpg");
    const long long reads = ReadSyscalls() - before - 1;  // the second look at /proc/self/io
    EXPECT_EQ(found.size(), 1000u);
    EXPECT_GE(reads, 10);
    EXPECT_LE(reads, 11);  // ten chunks of 200, perhaps a last read that finds the end
}

TEST_F(ScanStoreTest, SearchAppendsToWhatTheListHolds) {
    auto store = Open();
    Add(*store, "b.jpg");
    std::vector<_FILE_NODE_> out(1);
    std::strcpy(out[0].szFileName, "a.jpg");
    EXPECT_EQ(store->SearchFileNodeInfo(u"*.jpg", out), 0);
    EXPECT_EQ(Names(out), (std::vector<std::string>{"a.jpg", "b.jpg"}));
    EXPECT_EQ(store->SearchFileNodeInfo(nullptr, out), RESULT_INVALID_ARGUMENT);
}

TEST(PhotoListTest, CStringListEqualsTheWideList) {
    EXPECT_EQ(Unicode2Ansi(szPhotoTypeList), szPhotoTypeListA);
}

// --- the relation-file parser on its own

TEST(RelationTextTest, ParsesEntriesAndLaterEntriesReplaceEarlierOnes) {
    const std::string text = " | 5 - [1,2,7] | 4294967339 - [3] | 5 - [9]";
    RELATION_MAP map;
    GetDirRelationMap(text.data(), text.size(), map);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[5], std::vector<uint32_t>{9});
    EXPECT_EQ(map[4294967339ull], std::vector<uint32_t>{3});
}

TEST(RelationTextTest, DamagedTextYieldsWhatCanBeRead) {
    const auto parse = [](const std::string& text) {
        RELATION_MAP map;
        GetDirRelationMap(text.data(), text.size(), map);
        return map;
    };
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse(" | 5 ").empty());
    EXPECT_EQ(parse(" | 5 - [1,2")[5], std::vector<uint32_t>{1});  // no closing bracket
    EXPECT_TRUE(parse(" | 5 - []")[5].empty());
    EXPECT_EQ(parse(" | -1 - [4]").begin()->first, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(parse(" | 99999999999999999999 - [4]").begin()->first, 0x7FFFFFFFFFFFFFFFull);
    EXPECT_EQ(parse(" | x - [4, 5,,6]").begin()->second, (std::vector<uint32_t>{4, 5, 6}));
    // The text need not be terminated: nothing after its length is read.
    const char unterminated[] = {' ', '|', ' ', '7', ' ', '-', ' ', '[', '1', '2'};
    RELATION_MAP map;
    GetDirRelationMap(unterminated, sizeof unterminated, map);
    EXPECT_TRUE(map[7].empty());
}

TEST(RelationTextTest, FormattedEntriesParseBackToTheSameMap) {
    RELATION_MAP map{{5, {1, 2, 7}}, {0x8000000000000001ull, {4294967295u}}, {0, {3}}};
    std::string text;
    for (const auto& [key, children] : map) text += FormatRelationEntry(key, children);
    EXPECT_EQ(text.substr(0, 12), " | 0 - [3] |");
    RELATION_MAP back;
    GetDirRelationMap(text.data(), text.size(), back);
    EXPECT_EQ(back, map);
}

TEST(PhotoListTest, ExtensionsArePicturesBySubstring) {
    EXPECT_TRUE(IsPhotoExtension("jpg"));
    EXPECT_TRUE(IsPhotoExtension("jp"));
    EXPECT_TRUE(IsPhotoExtension(""));
    EXPECT_FALSE(IsPhotoExtension("doc"));
    EXPECT_FALSE(IsPhotoExtension("JPG"));  // callers lower-case first
    EXPECT_FALSE(IsPhotoExtension(nullptr));
}

}  // namespace
