// Arbitrary bytes as a capture file: the reader never reads past the file, and what it accepts or
// refuses holds together (an offset within the file, chunks in order inside it).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CaptureFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    fastrakcapture::Capture capture;
    uint64_t offset = 0;
    std::string error;
    if (!fastrakcapture::parseCapture(bytes, capture, offset, error)) {
        if (offset > size || error.empty()) std::abort();
        return 0;
    }
    uint64_t previous = 0;
    for (const auto& chunk : capture.chunks) {
        if (chunk.offset < previous || chunk.offset + chunk.payload.size() > size) std::abort();
        previous = chunk.offset + 1;
    }
    return 0;
}
