// Choices that hold for every scan of the process, set by a front end before it scans.
//
// Quick scans list deleted files. A user copying files off a failing card also wants the
// files the file system still lists; when asked, the quick engines record those too and mark
// them (see kPresentEntryMark), so that a front end can tell them apart and show or hide them.
#pragma once

#include <cstdint>

#include "foundation/file_node.h"

// A bit of _FILE_NODE_::uReserved: the file or folder is one the file system still lists (it
// was not deleted). Engines keep their own small values in the low byte of the field.
constexpr uint32_t kPresentEntryMark = 0x100;

inline bool IsPresentEntry(const _FILE_NODE_& node) {
    return (node.uReserved & kPresentEntryMark) != 0;
}

// Whether quick scans also record files that were not deleted. Off unless a front end asks.
void SetListPresentFiles(bool bList);
bool ListPresentFiles();
