// CaptureFile: chunk encoding, the CRC, and the reader that locates damage by offset.
#include "CaptureFile.h"

#include <array>
#include <cstring>

namespace fastrakcapture {
namespace {

void putVarint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

// 0 when the bytes end first, -1 when longer than a 64-bit value, else the bytes used.
int getVarint(const std::string& in, size_t at, uint64_t& value) {
    value = 0;
    for (int i = 0; i < 10; ++i) {
        if (at + i >= in.size()) return 0;
        const uint64_t byte = static_cast<unsigned char>(in[at + i]);
        if (i == 9 && byte > 1) return -1;
        value |= (byte & 0x7f) << (7 * i);
        if ((byte & 0x80) == 0) return i + 1;
    }
    return -1;
}

void putLittle(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

uint64_t getLittle(const std::string& in, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t(static_cast<unsigned char>(in[at + i])) << (8 * i);
    return value;
}

bool knownKind(char c) { return std::strchr("SDLTHXZ", c) != nullptr && c != '\0'; }

}  // namespace

uint32_t crc32(const char* data, size_t size, uint32_t crc) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xff] ^ (crc >> 8);
    return ~crc;
}

std::string encodeChunk(ChunkKind kind, uint8_t stream, uint64_t micros, const std::string& payload) {
    std::string out;
    out.reserve(payload.size() + 20);
    out += static_cast<char>(kind);
    out += static_cast<char>(stream);
    putVarint(out, micros);
    putVarint(out, payload.size());
    out += payload;
    putLittle(out, crc32(out.data(), out.size()), 4);
    return out;
}

std::string settingsPayload(const LineSettings& s) {
    std::string out;
    putLittle(out, s.baud, 4);
    out += static_cast<char>(s.dataBits);
    out += s.parity;
    out += static_cast<char>(s.stopBits);
    return out;
}

std::string devicePayload(const LineSettings& settings, const std::string& name, const std::string& port) {
    return settingsPayload(settings) + name + '\0' + port;
}

std::string startPayload(int64_t wallMicros) {
    std::string out;
    putLittle(out, static_cast<uint64_t>(wallMicros), 8);
    return out;
}

bool readSettings(const std::string& payload, LineSettings& s) {
    if (payload.size() < 7) return false;
    s.baud = static_cast<uint32_t>(getLittle(payload, 0, 4));
    s.dataBits = static_cast<uint8_t>(payload[4]);
    s.parity = payload[5];
    s.stopBits = static_cast<uint8_t>(payload[6]);
    return s.dataBits >= 5 && s.dataBits <= 8 && (s.parity == 'N' || s.parity == 'E' || s.parity == 'O') &&
           (s.stopBits == 1 || s.stopBits == 2);
}

bool parseCapture(const std::string& bytes, Capture& capture, uint64_t& errorOffset, std::string& error,
                  bool acceptCutShort) {
    capture = Capture();
    auto fail = [&](uint64_t offset, const std::string& what) {
        errorOffset = offset;
        error = what;
        return false;
    };
    bool started = false;
    auto cutShort = [&](uint64_t offset, const std::string& what) {
        if (!acceptCutShort || !started) return fail(offset, what);
        capture.cutOffset = offset;
        capture.cutReason = what;
        return true;
    };
    const std::string prefix = "fastrak-capture ";
    if (bytes.compare(0, prefix.size(), prefix) != 0)
        return fail(0, "not a capture file (it does not begin with \"fastrak-capture \")");
    if (bytes.size() < kMagicSize || bytes.compare(0, kMagicSize, kMagic) != 0) {
        return fail(prefix.size(), "unsupported format version (this program reads version 1)");
    }
    std::array<bool, 256> declared{};
    std::array<uint64_t, 256> lastTime{};
    size_t at = kMagicSize;
    while (at < bytes.size()) {
        const size_t begin = at;
        const char kind = bytes[at];
        if (!knownKind(kind)) {
            // A file system may leave zeros where the last writes never landed.
            if (bytes.find_first_not_of('\0', begin) == std::string::npos) {
                return cutShort(begin, "zero bytes to the end (the capture was not finished)");
            }
            return fail(begin, "unknown chunk kind (the file is damaged)");
        }
        if (at + 2 > bytes.size()) return cutShort(begin, "the file ends inside a chunk (truncated)");
        Chunk chunk;
        chunk.kind = static_cast<ChunkKind>(kind);
        chunk.stream = static_cast<uint8_t>(bytes[at + 1]);
        chunk.offset = begin;
        at += 2;
        uint64_t length = 0;
        int used = getVarint(bytes, at, chunk.micros);
        if (used < 0) return fail(begin, "bad time stamp (the file is damaged)");
        if (used > 0) {
            at += static_cast<size_t>(used);
            used = getVarint(bytes, at, length);
            if (used < 0 || (used > 0 && length > kMaxPayload))
                return fail(begin, "bad chunk length (the file is damaged)");
        }
        if (used == 0 || bytes.size() - at - static_cast<size_t>(used) < length + 4) {
            return cutShort(begin, "the file ends inside a chunk (truncated)");
        }
        at += static_cast<size_t>(used);
        chunk.payload = bytes.substr(at, length);
        at += length;
        if (crc32(bytes.data() + begin, at - begin) != getLittle(bytes, at, 4)) {
            return fail(begin, "checksum mismatch (the chunk is damaged)");
        }
        at += 4;
        if (!started && chunk.kind != ChunkKind::Start)
            return fail(begin, "the capture does not begin with its start chunk");
        switch (chunk.kind) {
            case ChunkKind::Start:
                if (started || chunk.payload.size() != 8) return fail(begin, "a second or malformed start chunk");
                started = true;
                capture.wallStartMicros = static_cast<int64_t>(getLittle(chunk.payload, 0, 8));
                continue;
            case ChunkKind::End:
                if (at != bytes.size()) return fail(at, "data after the end chunk");
                return true;
            case ChunkKind::Device: {
                Stream stream;
                stream.id = chunk.stream;
                const size_t nul = chunk.payload.find('\0', 7);
                if (declared[chunk.stream] || !readSettings(chunk.payload, stream.settings) ||
                    nul == std::string::npos) {
                    return fail(begin, "malformed or repeated device chunk");
                }
                stream.name = chunk.payload.substr(7, nul - 7);
                stream.port = chunk.payload.substr(nul + 1);
                declared[chunk.stream] = true;
                capture.streams.push_back(stream);
                break;
            }
            case ChunkKind::Settings: {
                LineSettings s;
                if (!readSettings(chunk.payload, s)) return fail(begin, "malformed line settings");
                break;
            }
            default:
                break;
        }
        if (!declared[chunk.stream])
            return fail(begin, "stream " + std::to_string(chunk.stream) + " used before its device chunk");
        if (chunk.micros < lastTime[chunk.stream])
            return fail(begin, "time goes back within a stream (the file is damaged)");
        lastTime[chunk.stream] = chunk.micros;
        capture.chunks.push_back(std::move(chunk));
    }
    return cutShort(bytes.size(), "the file ends without its end chunk (truncated: the capture was not closed)");
}

}  // namespace fastrakcapture
