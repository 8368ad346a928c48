#include "foundation/result.h"

#include <cstring>

std::string DescribeResult(int nResult) {
    switch (nResult) {
        case RESULT_OK:
            return "done";
        case RESULT_NO_ENGINE:
            return "nothing can scan this device";
        case RESULT_OUT_OF_MEMORY:
            return "out of memory";
        case RESULT_BAD_CLUSTER_SIZE:
            return "its record names a cluster size no volume has";
        case RESULT_SHORT_READ:
            return "the disk could not be read there";
        case RESULT_BAD_COMPRESSED_DATA:
            return "the compressed data is damaged";
        case RESULT_NO_STORE:
            return "no folder could take the scan's results (see XDG_DATA_HOME)";
        case RESULT_INVALID_ARGUMENT:
            return "the request makes no sense (a missing record or folder)";
        case RESULT_OUTSIDE_VOLUME:
            return "its data lies outside the volume";
        case RESULT_NOT_FOUND:
            return "its record no longer describes its data";
        case RESULT_NOT_A_RECORD:
            return "its record is damaged";
        case ERROR_USER_CANCEL:
            return "cancelled";
        default:
            break;
    }
    if (nResult > 0) return std::strerror(nResult);
    return "error " + std::to_string(nResult);
}
