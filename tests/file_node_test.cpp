// The display order of found-file records, and the Ext engine, which finds nothing itself.
#include "foundation/file_node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ext/fast_ext_recovery.h"

namespace {

_FILE_NODE_ Node(const char* name, bool dir) {
    _FILE_NODE_ node{};
    std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name);
    node.bIsDir = dir ? 1 : 0;
    return node;
}

TEST(FileNode, DisplayOrderPutsFilesFirstThenNamesCaseInsensitively) {
    std::vector<_FILE_NODE_> nodes = {Node("b", true), Node("B.txt", false), Node("a.jpg", false),
                                      Node("A", true), Node("c", true)};
    std::sort(nodes.begin(), nodes.end(), VectorCmp);
    std::vector<std::string> names;
    for (const auto& n : nodes) names.emplace_back(n.szFileName);
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "B.txt", "A", "b", "c"}));
    // Names that fill their field without a terminator compare within it.
    _FILE_NODE_ a = Node("", false), b = Node("", false);
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
    EXPECT_NE(engine.BuildBitMapInfo(), 0);  // no free-space map: scan everything
    unsigned long long start = 0, count = 1;
    EXPECT_EQ(engine.GetUnUsedSectorCount(start, count), 0);
    EXPECT_EQ(count, 0u);
    ::setenv("FERROWEN_DISKS", "/nonexistent/disk.img", 1);
    EXPECT_EQ(engine.Init(0, 0, 100, u'C'), ENOENT);
    EXPECT_EQ(engine.Init(5, 0, 100, u'C'), ENOENT);
    ::unsetenv("FERROWEN_DISKS");
}

}  // namespace
