// Recorder: the CSV and JSON-lines writers.
#include "Recorder.h"

#include <cerrno>
#include <cstring>

namespace fastrakhost {
namespace {

const char* kindName(Sample::Kind kind) { return kind == Sample::Kind::Tracker ? "tracker" : "controller"; }

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

Recorder::~Recorder() { close(); }

bool Recorder::open(const std::string& csvPath, const std::string& jsonlPath) {
    if (!csvPath.empty()) {
        csv_ = std::fopen(csvPath.c_str(), "w");
        if (csv_ == nullptr) {
            error_ = csvPath + ": " + std::strerror(errno);
            return false;
        }
        std::fputs("host_time,device,output,kind,x,y,z,azimuth,elevation,roll,buttons\n", csv_);
    }
    if (!jsonlPath.empty()) {
        jsonl_ = std::fopen(jsonlPath.c_str(), "w");
        if (jsonl_ == nullptr) {
            error_ = jsonlPath + ": " + std::strerror(errno);
            return false;
        }
    }
    lastFlush_ = std::chrono::steady_clock::now();
    return true;
}

std::string Recorder::csvLine(const Sample& sample) {
    std::string line = number("%.6f", sample.hostTime) + "," + csvField(sample.device) + "," +
                       std::to_string(sample.output) + "," + kindName(sample.kind);
    if (sample.kind == Sample::Kind::Tracker) {
        for (double value : sample.pose) line += "," + number("%.5f", value);
        line += ",";
    } else {
        line += ",,,,,,," + std::to_string(sample.buttons);
    }
    return line + "\n";
}

std::string Recorder::jsonLine(const Sample& sample) {
    std::string line = "{\"host_time\":" + number("%.6f", sample.hostTime) + ",\"device\":" + jsonString(sample.device) +
                       ",\"output\":" + std::to_string(sample.output) + ",\"kind\":\"" + kindName(sample.kind) + "\"";
    if (sample.kind == Sample::Kind::Tracker) {
        line += ",\"pose\":[";
        for (int i = 0; i < 6; ++i) line += (i ? "," : "") + number("%.5f", sample.pose[i]);
        line += "]";
    } else {
        line += ",\"buttons\":[";
        for (uint32_t n = 1; n <= sample.buttonCount; ++n) line += (n > 1 ? "," : "") + std::string((sample.buttons >> (n - 1)) & 1u ? "1" : "0");
        line += "]";
    }
    return line + "}\n";
}

void Recorder::write(const Sample& sample) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (csv_ != nullptr) std::fputs(csvLine(sample).c_str(), csv_);
    if (jsonl_ != nullptr) std::fputs(jsonLine(sample).c_str(), jsonl_);
}

void Recorder::flushIfDue() {
    std::lock_guard<std::mutex> hold(mutex_);
    const SteadyTime now = std::chrono::steady_clock::now();
    if (now - lastFlush_ < std::chrono::milliseconds(400)) return;
    lastFlush_ = now;
    if (csv_ != nullptr) std::fflush(csv_);
    if (jsonl_ != nullptr) std::fflush(jsonl_);
}

void Recorder::close() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (csv_ != nullptr) std::fclose(csv_);
    if (jsonl_ != nullptr) std::fclose(jsonl_);
    csv_ = nullptr;
    jsonl_ = nullptr;
}

}  // namespace fastrakhost
