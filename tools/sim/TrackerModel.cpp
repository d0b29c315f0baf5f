// The emulated tracker's command language, its settings and the records it builds from poses.
#include "TrackerModel.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fastraksim {

namespace {

constexpr char kReset = 0x19;
constexpr double kCentimetresPerInch = 2.54;

bool isStationLetter(char c) { return c != '\0' && std::strchr("HAReOl", c) != nullptr; }

bool isSingleByteCommand(char c) {
    return c == 'C' || c == 'c' || c == 'f' || c == 'F' || c == 'P' || c == 'u' || c == 'U' || c == 'S';
}

std::vector<std::string> splitFields(const std::string& text) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return fields;
        start = comma + 1;
    }
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

// Accepts 3, 3., 3.0, 3.0E+00, -.5; the whole field must be the number.
bool parseReal(const std::string& field, double& value) {
    const std::string f = trim(field);
    if (f.empty()) return false;
    char* end = nullptr;
    value = std::strtod(f.c_str(), &end);
    return end == f.c_str() + f.size() && std::isfinite(value);
}

CommandOutcome failure(const std::string& input, int code) {
    CommandOutcome o;
    o.ok = false;
    o.errorCode = code;
    o.reply = errorRecord(input, code);
    o.note = "error";
    return o;
}

double wrap180(double a) {
    if (a >= -180.0 && a <= 180.0) return a;
    a = std::fmod(a + 180.0, 360.0);
    if (a < 0) a += 360.0;
    return a - 180.0;
}

void appendFloat(std::string& out, double value) {
    const float f = static_cast<float>(value);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

void appendFixed(std::string& out, double value) {
    if (std::fabs(value) < 0.005) value = 0.0;  // no "-0.00"
    if (value > 999.99) value = 999.99;
    if (value < -999.99) value = -999.99;
    char text[16];
    std::snprintf(text, sizeof text, "%7.2f", value);
    out += text;
}

void appendExtended(std::string& out, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%14.6E", value);
    out += text;
}

}  // namespace

void CommandFramer::feed(char c, std::vector<CommandPiece>& out) {
    using End = CommandPiece::End;
    if (c == kReset) {
        if (!buffer_.empty()) out.push_back({buffer_, End::CutShort});  // it never completes
        buffer_.clear();
        out.push_back({std::string(1, c), End::Single});
        return;
    }
    if (buffer_.empty()) {
        if (isSingleByteCommand(c) || c == '\r' || c == '\n')
            out.push_back({std::string(1, c), End::Single});
        else
            buffer_.push_back(c);
        return;
    }
    if (c == '\r' || c == '\n') {
        buffer_.push_back(c);
        out.push_back({buffer_, c == '\r' ? End::Terminated : End::Broken});
        buffer_.clear();
        return;
    }
    if (isSingleByteCommand(c)) {
        // No command field holds these letters: the pending command is broken and the letter acts.
        out.push_back({buffer_, End::Broken});
        buffer_.clear();
        out.push_back({std::string(1, c), End::Single});
        return;
    }
    buffer_.push_back(c);
    if (buffer_.size() >= kMaxLine) {
        out.push_back({buffer_, End::TooLong});
        buffer_.clear();
    }
}

std::string errorRecord(const std::string& input, int code) {
    std::string text = "2 E*ERROR* ";
    for (char c : input)
        if (c != '\r' && c != '\n') text.push_back(c);
    text += " " + std::to_string(code) + "\r\n";
    return text;
}

void TrackerModel::powerUp() {
    TrackerState fresh;
    for (int i = 0; i < 4; ++i) {
        fresh.stations[i].receiver = state_.stations[i].receiver;
        fresh.stations[i].active = state_.stations[i].receiver;
    }
    state_ = fresh;
}

void TrackerModel::setReceiver(int station, bool plugged) {
    if (station < 1 || station > 4) return;
    state_.stations[station - 1].receiver = plugged;
    state_.stations[station - 1].active = plugged;
}

std::vector<int> TrackerModel::activeStations() const {
    std::vector<int> list;
    for (int i = 0; i < 4; ++i)
        if (state_.stations[i].receiver && state_.stations[i].active) list.push_back(i + 1);
    return list;
}

bool TrackerModel::knownItem(int item) {
    switch (item) {
        case 0:
        case 1:
        case 2:
        case 4:
        case 16:
        case 52:
        case 54:
        case 66:
            return true;
        default:
            return false;
    }
}

size_t TrackerModel::itemSize(int item, bool binary) {
    switch (item) {
        case 0:
            return 1;
        case 1:
            return 2;
        case 2:
        case 4:
            return binary ? 12 : 21;
        case 52:
        case 54:
            return binary ? 12 : 42;
        case 16:
        case 66:
            return binary ? 2 : 1;
        default:
            return 0;
    }
}

CommandOutcome TrackerModel::execute(const CommandPiece& piece) {
    using End = CommandPiece::End;
    const std::string& command = piece.bytes;
    CommandOutcome ok;
    ok.note = "ok";
    if (command.empty()) return ok;
    switch (piece.end) {
        case End::Terminated:
            return stationCommand(command);
        case End::TooLong:
            return failure(command, -3);
        case End::Broken:
            // Emulator's choice: an unknown letter is still unknown, anything else lacks its end.
            return failure(command, isStationLetter(command[0]) ? -1 : -99);
        case End::CutShort: {
            CommandOutcome cut;
            cut.note = "cut short";
            return cut;
        }
        case End::Single:
            break;
    }
    switch (command[0]) {
        case kReset:
            ok.effect = CommandOutcome::Effect::Reset;
            return ok;
        case 'C':
            state_.continuous = true;
            ok.effect = CommandOutcome::Effect::Continuous;
            return ok;
        case 'c':
            state_.continuous = false;
            ok.effect = CommandOutcome::Effect::Continuous;
            return ok;
        case 'f':
            state_.binary = true;
            return ok;
        case 'F':
            state_.binary = false;
            return ok;
        case 'u':
            state_.centimetres = true;
            return ok;
        case 'U':
            state_.centimetres = false;
            return ok;
        case 'P':
            ok.effect = CommandOutcome::Effect::Point;
            return ok;
        case 'S':
            ok.effect = CommandOutcome::Effect::Status;
            ok.reply = statusRecord();
            return ok;
        default:
            ok.note = "ignored";
            return ok;  // a stray CR or LF
    }
}

CommandOutcome TrackerModel::stationCommand(const std::string& command) {
    const std::string text = command.substr(0, command.size() - 1);
    const char letter = text[0];
    if (!isStationLetter(letter)) return failure(command, -99);
    const std::vector<std::string> fields = splitFields(text.substr(1));
    const std::string stationField = trim(fields[0]);
    if (stationField.empty()) return failure(command, -1);
    double stationValue;
    if (!parseReal(stationField, stationValue)) return failure(command, -2);
    if (stationValue != std::floor(stationValue) || stationValue < 1 || stationValue > 4) return failure(command, -3);
    StationState& st = state_.stations[static_cast<int>(stationValue) - 1];
    const std::vector<std::string> params(fields.begin() + 1, fields.end());

    // Reads the parameters into `values`; an empty field keeps what `values` held.
    auto readParams = [&](size_t count, double* values, int& code) {
        if (params.size() > count) {
            code = -3;
            return false;
        }
        for (size_t i = 0; i < params.size(); ++i) {
            if (trim(params[i]).empty()) continue;
            if (!parseReal(params[i], values[i])) {
                code = -2;
                return false;
            }
        }
        return true;
    };

    CommandOutcome ok;
    ok.note = "ok";
    int code = 0;
    switch (letter) {
        case 'H': {
            double v[3] = {st.hemisphere.x, st.hemisphere.y, st.hemisphere.z};
            if (st.autoHemisphere) v[0] = v[1] = v[2] = 0;
            if (!readParams(3, v, code)) return failure(command, code);
            if (v[0] == 0 && v[1] == 0 && v[2] == 0) {
                st.autoHemisphere = true;
            } else {
                st.autoHemisphere = false;
                st.hemisphere = Vec3{v[0], v[1], v[2]};
            }
            return ok;
        }
        case 'A': {
            const double unit = state_.centimetres ? kCentimetresPerInch : 1.0;
            double v[9];
            for (int i = 0; i < 9; ++i) v[i] = st.alignment[i] * unit;
            if (!readParams(9, v, code)) return failure(command, code);
            for (double& x : v) x /= unit;
            Frame next;
            if (!composeAlignment(st.frame, Vec3{v[0], v[1], v[2]}, Vec3{v[3], v[4], v[5]}, Vec3{v[6], v[7], v[8]},
                                  next))
                return failure(command, -3);
            st.frame = next;
            for (int i = 0; i < 9; ++i) st.alignment[i] = v[i];
            return ok;
        }
        case 'R':
            if (!params.empty()) return failure(command, -3);
            st.frame = Frame{};
            st.alignment = {0, 0, 0, 1, 0, 0, 0, 1, 0};
            return ok;
        case 'e':
        case 'l': {
            double v = letter == 'e' ? st.stylusFunction : (st.active ? 1 : 0);
            if (!readParams(1, &v, code)) return failure(command, code);
            if (v != 0 && v != 1) return failure(command, -3);
            if (letter == 'e') {
                st.stylusFunction = static_cast<int>(v);
            } else {
                if (v == 1 && !st.receiver) return failure(command, -3);
                st.active = v == 1;
            }
            return ok;
        }
        case 'O': {
            if (params.empty()) return failure(command, -1);
            if (params.size() > static_cast<size_t>(kMaxItems)) return failure(command, -3);
            std::vector<int> items;
            size_t asciiSize = 3;
            for (const std::string& p : params) {
                double v;
                if (trim(p).empty()) return failure(command, -1);
                if (!parseReal(p, v)) return failure(command, -2);
                // Range first: converting a huge value to int is undefined.
                if (v != std::floor(v) || v < 0 || v > 255 || !knownItem(static_cast<int>(v)))
                    return failure(command, -3);
                items.push_back(static_cast<int>(v));
                asciiSize += itemSize(items.back(), false);
            }
            // The list must fit in both formats; the text form is the longer.
            if (asciiSize > kMaxRecord) return failure(command, -3);
            st.items = items;
            return ok;
        }
        default:
            return failure(command, -99);
    }
}

Pose TrackerModel::reported(int station, const Pose& truePose) const {
    const StationState& st = state_.stations[station - 1];
    Vec3 p{truePose.x, truePose.y, truePose.z};
    // The field is symmetric: outside the working hemisphere the tracker sees the mirror image.
    if (!st.autoHemisphere && dot(p, st.hemisphere) < 0) p = -1.0 * p;
    Pose out;
    if (st.frame.isIdentity) {
        out.x = p.x, out.y = p.y, out.z = p.z;
        // Past the zenith the receiver is upside down and facing back: elevation 100 is the
        // attitude of elevation 80 with azimuth and roll turned half round.
        double azimuth = truePose.azimuth, elevation = wrap180(truePose.elevation), roll = truePose.roll;
        if (elevation > 90 || elevation < -90) {
            elevation = (elevation > 0 ? 180.0 : -180.0) - elevation;
            azimuth += 180.0;
            roll += 180.0;
        }
        out.azimuth = wrap180(azimuth);
        out.elevation = elevation;
        out.roll = wrap180(roll);
    } else {
        const Mat3 toFrame = transpose(st.frame.basis);
        const Vec3 q = multiply(toFrame, p - st.frame.origin);
        out.x = q.x, out.y = q.y, out.z = q.z;
        anglesOf(multiply(toFrame, attitude(truePose.azimuth, truePose.elevation, truePose.roll)), out.azimuth,
                 out.elevation, out.roll);
    }
    if (state_.centimetres) {
        out.x *= kCentimetresPerInch;
        out.y *= kCentimetresPerInch;
        out.z *= kCentimetresPerInch;
    }
    return out;
}

std::string TrackerModel::record(int station, const Sample& sample) const {
    const StationState& st = state_.stations[station - 1];
    const Pose p = reported(station, sample.pose);
    const bool binary = state_.binary;
    std::string out;
    out.reserve(kMaxRecord);
    out.push_back('0');
    out.push_back(static_cast<char>('0' + station));
    out.push_back(' ');
    auto three = [&](double a, double b, double c, bool extended) {
        for (double v : {a, b, c}) {
            if (binary)
                appendFloat(out, v);
            else if (extended)
                appendExtended(out, v);
            else
                appendFixed(out, v);
        }
    };
    for (int item : st.items) {
        switch (item) {
            case 0:
                out.push_back(' ');
                break;
            case 1:
                out += "\r\n";
                break;
            case 2:
            case 52:
                three(p.x, p.y, p.z, item == 52);
                break;
            case 4:
            case 54:
                three(p.azimuth, p.elevation, p.roll, item == 54);
                break;
            case 16:
            case 66:
                if (binary) out.push_back(' ');
                out.push_back(sample.button ? '1' : '0');
                break;
            default:
                break;
        }
    }
    return out;
}

std::string TrackerModel::statusRecord() const {
    const unsigned flags = (state_.binary ? 1u : 0u) | (state_.centimetres ? 2u : 0u) | (state_.continuous ? 8u : 0u);
    char text[16];
    std::snprintf(text, sizeof text, "21S%03X\r\n", flags);
    return text;
}

}  // namespace fastraksim
