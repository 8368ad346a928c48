// The result codes every operation returns, and the one place that puts them into words.
//
// 0 is success. A positive value is an errno of the operating system, passed up unchanged (a
// destination that fills up gives ENOSPC, a read-only one EROFS). The program's own codes are
// negative, so that the two can never be taken for each other.
#pragma once

#include <string>

enum RESULT_CODE : int {
    RESULT_OK = 0,
    RESULT_NO_ENGINE = -1,             // no engine could be made for the device
    RESULT_OUT_OF_MEMORY = -8,         // a working buffer could not be allocated
    RESULT_BAD_CLUSTER_SIZE = -29,     // a record names a cluster size no volume has
    RESULT_SHORT_READ = -30,           // the device gave fewer bytes than asked (a bad sector)
    RESULT_BAD_COMPRESSED_DATA = -31,  // a compressed file's unit does not decompress
    RESULT_NO_STORE = -32,             // no folder could take the scan's results
    RESULT_INVALID_ARGUMENT = -87,     // a null record, a missing parent, a request without sense
    RESULT_OUTSIDE_VOLUME = -88,       // the data would lie past the end of the volume
    RESULT_NOT_FOUND = -100,           // the record no longer holds what was asked of it
    RESULT_NOT_A_RECORD = -101,        // the bytes are not the record they should be
    ERROR_USER_CANCEL = -9527,         // the user cancelled
};

// Any non-zero answer of a callback stops the job. Engines pass it on as ERROR_USER_CANCEL, so
// that a callback answering 1 is never read as errno 1 (EPERM).
inline int CancelOf(int nAnswer) {
    return nAnswer == 0 ? RESULT_OK : ERROR_USER_CANCEL;
}

// What a result means, for the user: "the disk could not be read there", or the system's own
// words for an errno ("No space left on device").
std::string DescribeResult(int nResult);
