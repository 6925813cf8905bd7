// The Range header of file downloads. The input is the header value; the
// file size comes from the first 8 bytes when there are that many. Checks the
// contract: a satisfiable range lies inside the file with start <= end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/files_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t fileSize = 1000;
    if (size >= 8) {
        std::memcpy(&fileSize, data, 8);
        data += 8;
        size -= 8;
    }
    const std::string value(reinterpret_cast<const char*>(data), size);
    for (uint64_t sizeToTry : {fileSize, uint64_t{0}, uint64_t{1}, UINT64_MAX}) {
        uint64_t start = 7, end = 7;
        const int result = parseRangeHeader(value, sizeToTry, start, end);
        if (result < -1 || result > 1) std::abort();
        if (result == 1 && (start > end || end >= sizeToTry)) std::abort();
    }
    return 0;
}
