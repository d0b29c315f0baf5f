// CaptureFile: the byte-stream capture format (docs/capture.md), encoded and checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fastrakcapture {

// The file's first bytes; the digit is the format version.
constexpr const char kMagic[] = "fastrak-capture 1\n";
constexpr size_t kMagicSize = sizeof kMagic - 1;
constexpr size_t kMaxPayload = 1 << 20;

enum class ChunkKind : char {
    Start = 'S',        // wall clock at the start, microseconds since 1970 (8 bytes)
    Device = 'D',       // a stream: line settings, device name, port
    Settings = 'L',     // the line settings changed
    FromTracker = 'T',  // bytes read from the line
    ToTracker = 'H',    // bytes written to the line (commands)
    LineLost = 'X',     // the line failed; the text says how
    End = 'Z',          // the capture was closed cleanly
};

struct LineSettings {
    uint32_t baud = 0;
    uint8_t dataBits = 8;
    char parity = 'N';  // N, E or O
    uint8_t stopBits = 1;
    bool operator==(const LineSettings& o) const {
        return baud == o.baud && dataBits == o.dataBits && parity == o.parity && stopBits == o.stopBits;
    }
    bool operator!=(const LineSettings& o) const { return !(*this == o); }
};

struct Chunk {
    ChunkKind kind = ChunkKind::End;
    uint8_t stream = 0;
    uint64_t micros = 0;  // since the capture started
    uint64_t offset = 0;  // where the chunk begins in the file
    std::string payload;
};

struct Stream {
    uint8_t id = 0;
    std::string name, port;
    LineSettings settings;  // as first seen
};

struct Capture {
    int64_t wallStartMicros = 0;
    std::vector<Stream> streams;
    std::vector<Chunk> chunks;  // every chunk but Start and End, in file order
    // A capture cut short (the program killed, the power or the disk gone) ends without its end
    // chunk or inside a chunk; read with acceptCutShort, it holds the chunks before the cut.
    uint64_t cutOffset = 0;
    std::string cutReason;  // empty: the file is whole
    bool complete() const { return cutReason.empty(); }
};

// One chunk as it goes into the file.
std::string encodeChunk(ChunkKind kind, uint8_t stream, uint64_t micros, const std::string& payload);
std::string settingsPayload(const LineSettings& settings);
std::string devicePayload(const LineSettings& settings, const std::string& name, const std::string& port);
std::string startPayload(int64_t wallMicros);
bool readSettings(const std::string& payload, LineSettings& settings);

// Checks the whole file; on a fault, false with the offset of the bad chunk and what is wrong.
// With acceptCutShort, a file whose intact chunks stop at a cut (no end chunk, a last chunk cut
// off, or zero bytes to the end) is read up to the cut, with complete() false; damage before the
// cut is still a fault.
bool parseCapture(const std::string& bytes, Capture& capture, uint64_t& errorOffset, std::string& error,
                  bool acceptCutShort = false);

// The standard CRC-32 (as zip and PNG use it).
uint32_t crc32(const char* data, size_t size, uint32_t crc = 0);

}  // namespace fastrakcapture
