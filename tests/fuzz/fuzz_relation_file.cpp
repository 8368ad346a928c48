// The relation-file parser over arbitrary text, and the folder walks of a store whose
// relation file holds that text: nothing may be read outside the text, a formatted map must
// parse back to itself, and no walk may run away on cycles or repeated folders.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

namespace {

constexpr char16_t kStoreName[] = u"Fuzz_Relation";

void CheckRoundTrip(const RELATION_MAP& map) {
    std::string text;
    for (const auto& [key, children] : map) text += FormatRelationEntry(key, children);
    RELATION_MAP back;
    GetDirRelationMap(text.data(), text.size(), back);
    if (back != map) std::abort();
}

// One scan folder under the run's private data home.
std::string StoreFolder() {
    static const std::string folder = [] {
        if (ferrowen::fuzz::ScanLogRoot().empty()) std::abort();
        char path[4096];
        CLogFileManager::GetInstance()->GetLogFileDirPath(path, sizeof path);
        return std::string(path);
    }();
    return folder;
}

// A store of 24 records (folders with identifying numbers 0..11, then files) whose relation
// file is the input, browsed every way the engines browse it.
void WalkStore(const uint8_t* data, size_t size) {
    const std::string folder = StoreFolder();
    {
        CScanResultFileManager store;
        if (store.Init(kStoreName) != 0) return;
        if (store.GetFileIndex() == 0) {
            for (uint32_t i = 0; i < 24; ++i) {
                _FILE_NODE_* node = store.CreateFileNode(sizeof(_FILE_NODE_));
                node->bIsDir = i < 12;
                node->uClusterNO = i % 12;
                node->uFileIndex = store.GetFileIndex();
                std::snprintf(node->szFileName, sizeof node->szFileName, "n%u.jpg", i);
            }
        }
    }
    FILE* relation = std::fopen((folder + "Fuzz_Relation_Relation").c_str(), "wb");
    if (relation == nullptr) return;
    std::fwrite(data, 1, size, relation);
    std::fclose(relation);

    CScanResultFileManager store;
    if (store.Init(kStoreName) != 0) return;
    std::vector<uint64_t> keys;
    for (const auto& entry : store.GetRelationMap()) keys.push_back(entry.first);
    keys.push_back(0);
    for (const uint64_t key : keys) {
        unsigned int count = 0;
        store.GetChildrenFileCount(key, count);
        std::vector<_FILE_NODE_> children;
        store.GetChildrenFileNode(key, children);
    }
    for (uint32_t index = 1; index <= 24; ++index) {
        _FILE_NODE_ node{};
        node.uFileIndex = index;
        char16_t path[64];
        store.GetParentDirPath(&node, path, 64);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    RELATION_MAP map;
    GetDirRelationMap(reinterpret_cast<const char*>(data), size, map);
    CheckRoundTrip(map);
    if (size <= 4096) WalkStore(data, size);
    return 0;
}
