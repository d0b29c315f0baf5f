// What the emulator received and sent, with monotonic times, as entries and as JSON lines.
#include "SimLog.h"

#include <cstdio>

namespace fastraksim {

namespace {

void appendString(std::string& out, const std::string& text) {
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Bytes above 0x7F are not text; keep them one-to-one as code points.
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\u%04x", c);
                    out += hex;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

void appendNumber(std::string& out, double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    out += text;
}

}  // namespace

const char* kindName(LogEntry::Kind kind) {
    switch (kind) {
        case LogEntry::Kind::Command:
            return "command";
        case LogEntry::Kind::Record:
            return "record";
        case LogEntry::Kind::Reply:
            return "reply";
        case LogEntry::Kind::Noise:
            return "noise";
        case LogEntry::Kind::LongRun:
            return "longrun";
        case LogEntry::Kind::SilenceStart:
            return "silence-start";
        case LogEntry::Kind::SilenceEnd:
            return "silence-end";
        case LogEntry::Kind::HangUp:
            return "hangup";
        case LogEntry::Kind::ResetDone:
            return "reset-done";
        case LogEntry::Kind::Stylus:
            return "stylus";
        case LogEntry::Kind::Dropped:
            return "dropped";
        case LogEntry::Kind::LineSpeed:
            return "line-speed";
    }
    return "unknown";
}

std::string toJsonLine(const LogEntry& e) {
    std::string out = "{\"type\":\"";
    out += kindName(e.kind);
    out += "\",\"index\":" + std::to_string(e.index) + ",\"t\":" + std::to_string(e.time);
    const bool sent = e.kind == LogEntry::Kind::Record || e.kind == LogEntry::Kind::Reply ||
                      e.kind == LogEntry::Kind::Noise || e.kind == LogEntry::Kind::LongRun;
    if (sent) out += ",\"t_end\":" + std::to_string(e.endTime);
    if (e.kind == LogEntry::Kind::Record) {
        out += ",\"seq\":" + std::to_string(e.seq) + ",\"station\":" + std::to_string(e.station) +
               ",\"t_solution\":" + std::to_string(e.solutionTime);
        if (e.solutionWallTime != 0) {
            char wall[48];
            std::snprintf(wall, sizeof wall, ",\"solution_time\":%lld.%06lld",
                          static_cast<long long>(e.solutionWallTime / 1000000000),
                          static_cast<long long>(e.solutionWallTime % 1000000000 / 1000));
            out += wall;
        }
        out += ",\"pose\":[";
        const double values[] = {e.pose.x, e.pose.y, e.pose.z, e.pose.azimuth, e.pose.elevation, e.pose.roll};
        for (int i = 0; i < 6; ++i) {
            if (i) out.push_back(',');
            appendNumber(out, values[i]);
        }
        if (e.hasTruePose) {
            out += "],\"true_pose\":[";
            const double truth[] = {e.truePose.x,       e.truePose.y,         e.truePose.z,
                                    e.truePose.azimuth, e.truePose.elevation, e.truePose.roll};
            for (int i = 0; i < 6; ++i) {
                if (i) out.push_back(',');
                appendNumber(out, truth[i]);
            }
        }
        out += "],\"button\":";
        out += e.button ? "true" : "false";
    } else if (e.station > 0) {
        out += ",\"station\":" + std::to_string(e.station);
        if (e.solutionTime != 0) out += ",\"t_solution\":" + std::to_string(e.solutionTime);
    }
    if (!e.bytes.empty()) {
        out += ",\"hex\":\"" + hex(e.bytes) + "\"";
        if (e.kind == LogEntry::Kind::Command || e.kind == LogEntry::Kind::Reply) {
            out += ",\"text\":";
            appendString(out, e.bytes);
        }
    }
    if (!e.original.empty()) out += ",\"original_hex\":\"" + hex(e.original) + "\"";
    if (!e.note.empty()) {
        out += ",\"note\":";
        appendString(out, e.note);
    }
    if (e.errorCode != 0) out += ",\"error\":" + std::to_string(e.errorCode);
    out.push_back('}');
    return out;
}

}  // namespace fastraksim
