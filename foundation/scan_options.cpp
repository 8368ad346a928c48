#include "foundation/scan_options.h"

#include <atomic>

namespace {
std::atomic<bool> g_listPresentFiles{false};
}  // namespace

void SetListPresentFiles(bool bList) {
    g_listPresentFiles = bList;
}

bool ListPresentFiles() {
    return g_listPresentFiles;
}
