// The result store: its three files, browsing, counting and parent paths of a folder tree,
// reopening (also after torn writes), damaged relation text, and searching by extension.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "carving_test_support.h"
#include "foundation/text.h"
#include "store/scan_result_file_manager.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

Names NamesOf(const std::vector<_FILE_NODE_>& nodes) {
    Names names;
    // A name may fill its field without a terminator.
    for (const auto& n : nodes) names.emplace_back(n.szFileName, strnlen(n.szFileName, 256));
    return names;
}

RELATION_MAP Parse(const std::string& text) {
    RELATION_MAP map;
    GetDirRelationMap(text.data(), text.size(), map);
    return map;
}

std::string Text(const std::string& path) {
    const std::vector<unsigned char> bytes = carving_test::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// One store, "Fast_0_2024101512" in scan folder 1 of a temporary log root.
class ScanStoreTest : public ::testing::Test {
protected:
    void Reopen() {
        store_.reset();  // flushes and closes the previous one
        store_ = std::make_unique<CScanResultFileManager>();
        EXPECT_EQ(store_->Init(u"Fast_0_2024101512"), 0);
    }
    // The store's files: "" for the node file, else "_Relation" or "_DirInfo".
    std::string File(const char* suffix = "") const {
        return root_.path() + "/Ferrowen/ScanLog/1/Fast_0_2024101512" + suffix;
    }
    uint32_t Add(const char* name, bool isDir = false, uint32_t number = 0, uint32_t health = 1) {
        _FILE_NODE_* node = store_->CreateFileNode(sizeof(_FILE_NODE_));
        *node = _FILE_NODE_{};
        node->bIsDir = isDir;
        node->uFileIndex = store_->GetFileIndex();
        node->uClusterNO = number;
        node->bDataHealth = health;
        std::strncpy(node->szFileName, name, sizeof node->szFileName - 1);
        return node->uFileIndex;
    }
    // root(2)/ root.txt, A(10)/ {a.jpg, bad.jpg (damaged), B(20)/ {deep.doc}}
    void BuildTree() {
        store_->AddChildren(2, 0, Add("A", true, 10), 10, "A");
        store_->AddChildren(2, 0, Add("root.txt"), 0, nullptr);
        store_->AddChildren(10, 1, Add("B", true, 20), 20, "B");
        store_->AddChildren(10, 1, Add("a.jpg"), 0, nullptr);
        store_->AddChildren(10, 1, Add("bad.jpg", false, 0, 0), 0, nullptr);
        store_->AddChildren(20, 2, Add("deep.doc"), 0, nullptr);
    }
    std::vector<_FILE_NODE_> Nodes(uint64_t key) {
        std::vector<_FILE_NODE_> out;
        EXPECT_EQ(store_->GetChildrenFileNode(key, out), 0);
        return out;
    }
    Names Children(uint64_t key) { return NamesOf(Nodes(key)); }
    unsigned int Count(uint64_t key) {
        unsigned int count = 99;
        EXPECT_EQ(store_->GetChildrenFileCount(key, count), 0);
        return count;
    }
    std::u16string ParentPath(const _FILE_NODE_& node) {
        char16_t path[512];
        EXPECT_EQ(store_->GetParentDirPath(&node, path, 512), 0);
        return path;
    }
    Names Search(const char16_t* key, int expected = 0) {
        std::vector<_FILE_NODE_> out;
        EXPECT_EQ(store_->SearchFileNodeInfo(key, out), expected);
        return NamesOf(out);
    }
    // BuildTree's tree: sorted, damaged pictures hidden from lists but counted, parent paths
    // without the root.
    void ExpectTree() {
        EXPECT_EQ(Children(0), (Names{"root.txt", "A"}));
        EXPECT_EQ(Children(2), (Names{"root.txt", "A"}));
        EXPECT_EQ(Children(MakeRelationKey(1, 10)), (Names{"a.jpg", "B"}));
        EXPECT_TRUE(Children(MakeRelationKey(3, 20)).empty());
        EXPECT_EQ(store_->GetRelationMap().count(MakeRelationKey(3, 20)), 0u);  // not created
        EXPECT_EQ(Count(0), 4u);
        EXPECT_EQ(Count(MakeRelationKey(1, 10)), 3u);
        EXPECT_EQ(Count(MakeRelationKey(2, 20)), 1u);
        EXPECT_EQ(Count(MakeRelationKey(2, 99)), 0u);
        for (const _FILE_NODE_& top : Nodes(2)) EXPECT_EQ(ParentPath(top), u"");
        const auto deep = Nodes(MakeRelationKey(2, 20));
        ASSERT_EQ(NamesOf(deep), Names{"deep.doc"});
        EXPECT_EQ(ParentPath(deep[0]), u"A/B/");
        std::vector<_FILE_NODE_> chain;
        EXPECT_EQ(store_->GetParentFileNode(&deep[0], chain), 0);
        EXPECT_EQ(NamesOf(chain), (Names{"B", "A"}));
        EXPECT_EQ(store_->GetDirFileInfos().size(), 2u);
    }

    carving_test::ScopedLogRoot root_;
    std::unique_ptr<CScanResultFileManager> store_;
};

TEST_F(ScanStoreTest, EmptyStoreAnswersEmptyAndLeavesThreeEmptyFiles) {
    Reopen();
    EXPECT_EQ(store_->GetNodeFilePath(), File());
    EXPECT_TRUE(Children(5).empty());
    EXPECT_TRUE(Children(0).empty());
    EXPECT_EQ(Count(0), 0u);
    EXPECT_EQ(store_->FlushBufToFile(), 0);
    EXPECT_EQ(store_->GetFileIndex(), 0u);
    store_.reset();
    for (const char* suffix : {"", "_Relation", "_DirInfo"})
        EXPECT_EQ(fs::file_size(File(suffix)), 0u);
}

TEST_F(ScanStoreTest, The201stRecordPushesTheFirst200ToTheNodeFile) {
    Reopen();
    for (int i = 0; i < 200; ++i) Add("f.txt");
    EXPECT_EQ(fs::file_size(File()), 0u);
    _FILE_NODE_* first = store_->CreateFileNode(344);
    EXPECT_EQ(fs::file_size(File()), 68800u);
    _FILE_NODE_* second = store_->CreateFileNode(344);
    EXPECT_EQ(reinterpret_cast<char*>(second) - reinterpret_cast<char*>(first), 344);
    EXPECT_EQ(store_->GetFileIndex(), 202u);
    EXPECT_EQ(store_->CreateFileNode(100), nullptr);
    EXPECT_EQ(store_->GetFileIndex(), 202u);
}

TEST_F(ScanStoreTest, RelationAndDirInfoFilesAreExact) {
    Reopen();
    store_->AddChildren(5, 0, 1, 0, nullptr);
    BuildTree();
    std::vector<uint32_t> children{1};
    for (uint32_t i = 2; i <= 10000; ++i) {
        store_->AddChildren(5, 0, i, 0, nullptr);
        children.push_back(i);
    }
    store_.reset();
    // Entries go by key; a large folder is written in pieces as one entry.
    const std::string text = Text(File("_Relation"));
    EXPECT_EQ(text.substr(0, 28), " | 2 - [1,2] | 5 - [1,2,3,4,");
    EXPECT_EQ(text, " | 2 - [1,2]" + FormatRelationEntry(5, children) +
                        " | 4294967306 - [3,4,5] | 8589934612 - [6]");
    const std::string bytes = Text(File("_DirInfo"));
    ASSERT_EQ(bytes.size(), 2 * sizeof(_DIR_FILE_INFO_));
    _DIR_FILE_INFO_ second;
    std::memcpy(&second, bytes.data() + sizeof second, sizeof second);
    EXPECT_EQ(second.uClusterNO, 20u);
    EXPECT_EQ(second.uFileIndex, 3u);
    EXPECT_STREQ(second.szDirName, "B");
}

TEST_F(ScanStoreTest, InitRefusesNamesThatAreNotPlainNamesButTheBufferStillAnswers) {
    store_ = std::make_unique<CScanResultFileManager>();
    for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"", u"..", u"../escape"})
        EXPECT_EQ(store_->Init(name), RESULT_INVALID_ARGUMENT);
    EXPECT_FALSE(fs::exists(root_.path() + "/Ferrowen/escape"));
    store_->AddChildren(2, 0, Add("lost.txt"), 0, nullptr);
    EXPECT_EQ(Children(2), Names{"lost.txt"});
    std::vector<_FILE_NODE_> out;
    EXPECT_NE(store_->SearchFileNodeInfo(u"*.txt", out), 0);
}

TEST_F(ScanStoreTest, FreshAndReopenedStoresBrowseTheSameTreeAndTornTailsAreDropped) {
    Reopen();
    BuildTree();
    store_->FlushBufToFile();
    ExpectTree();
    store_.reset();
    std::ofstream(File(), std::ios::app) << "torn";
    std::ofstream(File("_DirInfo"), std::ios::app) << "torn";
    Reopen();
    EXPECT_EQ(store_->GetFileIndex(), 6u);
    ExpectTree();
    // Records added after reopening continue the numbering.
    const uint32_t added = Add("later.txt");
    EXPECT_EQ(added, 7u);
    store_->AddChildren(20, 2, added, 0, nullptr);
    store_->FlushBufToFile();
    EXPECT_EQ(fs::file_size(File()), 7u * 344u);
    EXPECT_EQ(Children(MakeRelationKey(2, 20)), (Names{"deep.doc", "later.txt"}));
    EXPECT_EQ(Children(2), (Names{"root.txt", "A"}));
}

TEST_F(ScanStoreTest, ParentFolderIsFoundByItsNumberInTheNodeFileWithoutDirInfo) {
    Reopen();
    store_->AddChildren(2, 0, Add("Docs", true, 30), 30, nullptr);  // no folder name recorded
    _FILE_NODE_ node{};
    node.uFileIndex = Add("x.txt");
    store_->AddChildren(30, 1, node.uFileIndex, 0, nullptr);
    Add("file-with-31.txt", false, 31);
    store_->FlushBufToFile();
    EXPECT_EQ(ParentPath(node), u"Docs/");
    EXPECT_EQ(store_->GetFileNodeByClusterNO(30, node), 0);
    EXPECT_STREQ(node.szFileName, "Docs");
    EXPECT_EQ(store_->GetFileNodeByClusterNO(31, node), RESULT_NOT_FOUND);  // a file, not a folder
    EXPECT_STREQ(node.szFileName, "file-with-31.txt");
    EXPECT_EQ(store_->GetFileNodeByClusterNO(32, node), RESULT_NOT_FOUND);
    std::vector<_FILE_NODE_> chain;
    EXPECT_EQ(store_->GetParentFileNode(nullptr, chain), RESULT_INVALID_ARGUMENT);
    char16_t path[4];
    EXPECT_EQ(store_->GetParentDirPath(nullptr, path, 4), RESULT_INVALID_ARGUMENT);
}

// The relation text is written by this program but read back from a file that may be damaged:
// children without records are skipped, and a rewrite cuts what the old text had beyond it.
TEST_F(ScanStoreTest, DamagedRelationTextIsReadAsFarAsItGoesAndCutOnRewrite) {
    Reopen();
    for (const char* name : {"one.txt", "two.txt", "three.txt"}) Add(name);
    store_.reset();
    std::ofstream(File("_Relation"))
        << " | 5 - [1,2,0,99,4294967295,-3] | 4294967307 - [3] and some trailing garbage";
    Reopen();
    EXPECT_EQ(Children(0), (Names{"one.txt", "two.txt"}));
    EXPECT_EQ(Count(0), 2u);
    EXPECT_EQ(Children(4294967307ull), Names{"three.txt"});
    EXPECT_EQ(store_->GetRelationMap().begin()->first, 5u);
    store_->AddChildren(11, 1, 2, 0, nullptr);
    store_->FlushBufToFile();
    EXPECT_EQ(Text(File("_Relation")), " | 5 - [1,2,99,4294967295] | 4294967307 - [3,2]");
}

TEST_F(ScanStoreTest, FolderCyclesEndTheCountAndThePath) {
    Reopen();
    // Folder X (7) holds folder Y (8), which holds X again, at every level.
    const uint32_t x = Add("X", true, 7), y = Add("Y", true, 8);
    _FILE_NODE_ node{};
    node.uFileIndex = Add("f.txt");
    store_->AddChildren(1, 0, x, 7, "X");
    for (uint32_t level = 1; level < 64; level += 2) {
        for (int twice = 0; twice < 2; ++twice) {
            store_->AddChildren(7, level, y, 8, nullptr);
            store_->AddChildren(8, level + 1, x, 7, nullptr);
        }
        store_->AddChildren(7, level, node.uFileIndex, 0, nullptr);
    }
    store_->FlushBufToFile();
    EXPECT_EQ(Count(0), 32u);
    std::vector<_FILE_NODE_> chain;
    EXPECT_EQ(store_->GetParentFileNode(&node, chain), 0);
    EXPECT_LE(chain.size(), 3u);
}

TEST(RelationTextTest, ParsesWhatCanBeReadAndLaterEntriesReplaceEarlierOnes) {
    EXPECT_EQ(Parse(" | 5 - [1,2,7] | 4294967339 - [3] | 5 - [9]"),
              (RELATION_MAP{{5, {9}}, {4294967339ull, {3}}}));
    EXPECT_TRUE(Parse("").empty());
    EXPECT_TRUE(Parse(" | 5 ").empty());
    EXPECT_EQ(Parse(" | 5 - [1,2")[5], std::vector<uint32_t>{1});  // no closing bracket
    EXPECT_TRUE(Parse(" | 5 - []")[5].empty());
    EXPECT_EQ(Parse(" | -1 - [4]").begin()->first, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(Parse(" | 99999999999999999999 - [4]").begin()->first, 0x7FFFFFFFFFFFFFFFull);
    EXPECT_EQ(Parse(" | x - [4, 5,,6]").begin()->second, (std::vector<uint32_t>{4, 5, 6}));
    // The text need not be terminated: nothing after its length is read.
    const char unterminated[] = {' ', '|', ' ', '7', ' ', '-', ' ', '[', '1', '2'};
    EXPECT_TRUE(Parse(std::string(unterminated, sizeof unterminated))[7].empty());
}

TEST_F(ScanStoreTest, SearchTakesExtensionsBySubstringAndOtherModeTheUnknownOnes) {
    Reopen();
    for (const char* name : {"photo.JPG", "x.png", "readme", "song.mp3", "a.jp", "b.jpe", "c.jpeg",
                             "d.jpgx", "data.xyz", "notes.doc", "ends.", "short.do"})
        Add(name);
    Add("broken.jpg", false, 0, 0);
    Add("folder.jpg", true, 9);
    // Folders, damaged pictures and names without an extension are never found as pictures.
    // Extensions match whole list entries: "jp" is neither "jpg" nor "jpeg".
    EXPECT_EQ(Search(u"*.jpg|*.png"), (Names{"photo.JPG", "x.png"}));
    EXPECT_EQ(Search(u"*.jpeg"), (Names{"c.jpeg"}));
    EXPECT_TRUE(Search(u"*.txt").empty());
    EXPECT_EQ(Search(u"*.other"),
              (Names{"a.jp", "d.jpgx", "data.xyz", "ends.", "readme", "short.do"}));
    EXPECT_EQ(Search(u"*.doc|*.other"),
              (Names{"a.jp", "d.jpgx", "data.xyz", "ends.", "notes.doc", "readme", "short.do"}));
    // Other mode is off for very large node files: these are zero records, nameless files.
    store_->FlushBufToFile();
    ASSERT_EQ(::truncate(File().c_str(), 344 * 390200), 0);
    ASSERT_GT(fs::file_size(File()), 0x7FFFFFFu);
    EXPECT_TRUE(Search(u"*.other").empty());
    EXPECT_EQ(Search(u"*.png|*.other"), Names{"x.png"});
}

TEST_F(ScanStoreTest, ResultsSortFilesBeforeFoldersIgnoringCaseAndAppendToTheList) {
    Reopen();
    for (const char* name : {"b.txt", "Z.txt", "A.txt", "c.txt"})
        store_->AddChildren(1, 0, Add(name, name[0] == 'Z', name[0] == 'Z' ? 5 : 0), 0, nullptr);
    EXPECT_EQ(Search(u"*.txt"), (Names{"A.txt", "b.txt", "c.txt"}));
    EXPECT_EQ(Children(0), (Names{"A.txt", "b.txt", "c.txt", "Z.txt"}));
    std::vector<_FILE_NODE_> out(1);
    std::strcpy(out[0].szFileName, "b0.txt");
    EXPECT_EQ(store_->SearchFileNodeInfo(u"*.txt", out), 0);
    EXPECT_EQ(NamesOf(out), (Names{"A.txt", "b.txt", "b0.txt", "c.txt"}));
    EXPECT_EQ(store_->SearchFileNodeInfo(nullptr, out), RESULT_INVALID_ARGUMENT);
    // A name without terminator is read within its field.
    _FILE_NODE_* node = store_->CreateFileNode(344);
    std::memset(node->szFileName, 'a', sizeof node->szFileName);
    std::memcpy(node->szFileName + 251, ".jpgx", 5);
    EXPECT_EQ(Search(u"*.jpgx").size(), 1u);
}

std::vector<int> g_percents;
int StopAtThirdCall(void*, int percent, const char16_t* text) {
    g_percents.push_back(text == nullptr ? percent : -1);
    return g_percents.size() >= 3 ? 1 : 0;
}

// Read system calls of this process so far (the kernel's I/O accounting).
long long ReadSyscalls() {
    std::ifstream in("/proc/self/io");
    std::string key;
    for (long long value = 0; in >> key >> value;)
        if (key == "syscr:") return value;
    return -1;
}

TEST_F(ScanStoreTest, SearchReads200RecordsAtATimeReportingEachAndStopsWhenAsked) {
    Reopen();
    for (int i = 0; i < 2000; ++i) Add(i % 2 ? "p.jpg" : "d.doc");
    store_->FlushBufToFile();
    const long long before = ReadSyscalls();
    ASSERT_GE(before, 0) << "no I/O accounting in /proc/self/io";
    EXPECT_EQ(Search(u"*.jpg").size(), 1000u);
    const long long reads = ReadSyscalls() - before - 1;  // the second look at /proc/self/io
    EXPECT_GE(reads, 10);
    EXPECT_LE(reads, 11);  // ten chunks of 200, perhaps a last read that finds the end
    g_percents.clear();
    store_->InitSearchCallBack(StopAtThirdCall, nullptr);
    EXPECT_EQ(Search(u"*.jpg", ERROR_USER_CANCEL).size(), 300u);
    EXPECT_EQ(g_percents, (std::vector<int>{10, 20, 30}));
}

TEST(PhotoListTest, ExtensionsArePicturesByWholeEntryAndBothListsAgree) {
    EXPECT_EQ(Unicode2Ansi(szPhotoTypeList), szPhotoTypeListA);
    for (const char* ext : {"jpg", "bmp", "dib", "heic"}) EXPECT_TRUE(IsPhotoExtension(ext)) << ext;
    for (const char* ext : {"jp", "", "mp", "cr", "doc"})
        EXPECT_FALSE(IsPhotoExtension(ext)) << ext;
    EXPECT_FALSE(TypeListHolds("*.rar|*.raw", "ra"));
    EXPECT_TRUE(TypeListHolds("*.rar|*.ra", "ra"));
    EXPECT_FALSE(IsPhotoExtension("JPG"));  // callers lower-case first
    EXPECT_FALSE(IsPhotoExtension(nullptr));
}

}  // namespace
