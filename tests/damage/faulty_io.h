// A failing disk and a filling destination, simulated underneath the code under test.
//
// faulty_io.cpp defines open, read, pread, write, pwrite and close (and their 64-bit and
// fortified aliases) over the C library's, so that whatever the engines do reaches them
// unchanged: linked into a test binary it governs that process; built as a shared library
// and preloaded (LD_PRELOAD) it governs a child such as ferrowen-cli, configured through the
// environment variables below. With nothing configured every call passes straight through.
//
//   FERROWEN_FAULT_READS="PATH|FIRST-END,FIRST-END..."  reads of PATH touching a byte range fail
//   FERROWEN_FAULT_READ_ERROR="N"                        ... with errno N instead of EIO
//   FERROWEN_FAULT_READ_DELAY_MS="N"                     every read of PATH first waits N ms
//   FERROWEN_FAULT_WRITE_LIMIT="FOLDER|BYTES"           files made under FOLDER take BYTES in all
//   FERROWEN_FAULT_WRITE_ERROR="N"                       ... then fail with errno N, not ENOSPC
//   FERROWEN_FAULT_OPEN_LOG="FILE"                       each open is logged as "FLAGS\tPATH"
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ferrowen::test::faulty_io {

// Byte ranges [first, end) of a file that cannot be read, like the bad sectors of a failing
// disk. A read that starts inside a range fails with `error` (EIO for a bad sector, ENODEV for
// a device that is gone); one that runs into a range returns the bytes before it (a short
// read), as a block device does.
void FailReads(const std::string& path, std::vector<std::pair<uint64_t, uint64_t>> ranges,
               int error = EIO);

// Files opened for writing below folder share a budget of bytes; once it is spent, writes
// fail with `error`: ENOSPC is a destination disk that fills up, EROFS one that turned
// read-only. A write that straddles the end of the budget is cut short.
void LimitWrites(const std::string& folder, uint64_t bytes, int error = ENOSPC);

// Opens seen since the last Reset: the flags each open of path was made with.
std::vector<int> OpenFlagsOf(const std::string& path);

// How many reads were refused since the last Reset.
uint64_t RefusedReads();

// Forgets every fault, budget and record.
void Reset();

}  // namespace ferrowen::test::faulty_io
