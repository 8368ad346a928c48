#include "foundation/file_node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "ext/fast_ext_recovery.h"

namespace {

_FILE_NODE_ Node(const char* name, bool dir) {
    _FILE_NODE_ node{};
    std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name);
    node.bIsDir = dir ? 1 : 0;
    return node;
}

std::vector<std::string> Names(const std::vector<_FILE_NODE_>& nodes) {
    std::vector<std::string> names;
    for (const auto& n : nodes) names.emplace_back(n.szFileName);
    return names;
}

TEST(FileNode, IsAPlainRecordWhoseZeroValueIsAnUnnamedFile) {
    static_assert(std::is_trivially_copyable_v<_FILE_NODE_>);
    static_assert(std::is_standard_layout_v<_FILE_NODE_>);
    static_assert(std::is_same_v<__SEARCH_FILE_INFO__, _FILE_NODE_>);
    const _FILE_NODE_ zero{};
    unsigned char bytes[sizeof zero];
    std::memcpy(bytes, &zero, sizeof zero);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof bytes, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(zero.bIsDir, 0u);
    EXPECT_STREQ(zero.szFileName, "");
}

TEST(FileNode, FieldsLandAtTheirFileFormatOffsets) {
    _FILE_NODE_ node{};
    node.u64FileSize = 0x0102030405060708ULL;
    node.uClusterNO = 0xAABBCCDD;
    std::memset(node.szFileName, 'n', 255);
    unsigned char bytes[344];
    std::memcpy(bytes, &node, sizeof bytes);
    EXPECT_EQ(bytes[56], 0x08);  // little-endian, low byte first
    EXPECT_EQ(bytes[63], 0x01);
    EXPECT_EQ(bytes[24], 0xDD);
    EXPECT_EQ(bytes[88], 'n');
    EXPECT_EQ(bytes[342], 'n');
    EXPECT_EQ(bytes[343], 0);  // 255 bytes of text leave room for the terminator
}

TEST(FileNode, DisplayOrderPutsFilesFirstThenNamesCaseInsensitively) {
    std::vector<_FILE_NODE_> nodes = {Node("b", true), Node("B.txt", false), Node("a.jpg", false),
                                      Node("A", true)};
    std::sort(nodes.begin(), nodes.end(), VectorCmp);
    EXPECT_EQ(Names(nodes), (std::vector<std::string>{"a.jpg", "B.txt", "A", "b"}));
}

TEST(FileNode, OrderingSurvivesANameWithoutTerminator) {
    _FILE_NODE_ a = Node("", false);
    _FILE_NODE_ b = Node("", false);
    std::memset(a.szFileName, 'x', sizeof a.szFileName);
    std::memset(b.szFileName, 'x', sizeof b.szFileName);
    EXPECT_FALSE(VectorCmp(a, b));
    EXPECT_FALSE(VectorCmp(b, a));
}

int g_callbackCalls = 0;
int CountingScanCallback(void*, int, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    return ++g_callbackCalls;
}

TEST(FastExtRecovery, FindsNothingAndLeavesTheWholeVolumeToTheDeepScan) {
    CFastExtRecovery engine;
    g_callbackCalls = 0;
    EXPECT_EQ(engine.InitCallBack(CountingScanCallback, nullptr, nullptr, 100), 0);
    EXPECT_EQ(engine.ScanDevice(nullptr), 0);
    EXPECT_EQ(g_callbackCalls, 0);
    EXPECT_EQ(engine.GetLostFileCount(), 0u);

    std::vector<_FILE_NODE_> children(1);
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 0, children), 0);
    EXPECT_EQ(children.size(), 1u);  // outputs untouched
    std::vector<__SEARCH_FILE_INFO__> found;
    EXPECT_EQ(engine.SearchFileNode(u"*.jpg", found), 0);
    EXPECT_TRUE(found.empty());

    EXPECT_NE(engine.BuildBitMapInfo(), 0);  // no free-space map: scan everything
    unsigned long long start = 0, count = 1;
    EXPECT_EQ(engine.GetUnUsedSectorCount(start, count), 0);
    EXPECT_EQ(count, 0u);
}

TEST(FastExtRecovery, ReportsTheOpenErrorOfAMissingDisk) {
    ::setenv("FERROWEN_DISKS", "/nonexistent/disk.img", 1);
    CFastExtRecovery engine;
    EXPECT_EQ(engine.Init(0, 0, 100, u'C'), ENOENT);
    EXPECT_EQ(engine.Init(5, 0, 100, u'C'), ENOENT);
    ::unsetenv("FERROWEN_DISKS");
}

}  // namespace
