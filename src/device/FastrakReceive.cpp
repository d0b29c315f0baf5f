// CFastrak::recvData: one binary record read byte by byte, decoded, converted and published.
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>

#include "controller/CConCommonH.h"
#include "device/CFastrak.h"
#include "fastrak/DataStorage.h"
#include "log/LogLine.h"
#include "serial/CRS232H.h"
#include "storage/UpdateMaskBits.h"
#include "tracker/CTraCommonH.h"
#include "tracker/TrackerTransform.h"

namespace {

// Record lengths, "0" and CR LF included, as each station's output list makes them.
const uint32_t kTrackerRecord = 29;
const uint32_t kTrackerStylusRecord = 31;
// "0", station digit, status byte, a blank, "0" or "1", CR LF: the output list of the button alone.
const uint32_t kStylusRecord = 7;
const uint32_t kPoseOffset = 3;
const uint32_t kTrackerButtonOffset = 28;
const uint32_t kStylusButtonOffset = 4;
const uint32_t kMaxOutput = 32;

// Bounds of a pose the tracker can report; anything beyond is a value a fault changed. The angle
// bounds allow for rounding at the ends of the range.
const float kMaxInches = 1000.0f;
const float kAngleSlack = 0.01f;

float littleEndianFloat(const uint8_t* bytes) {
    const uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Written so that a NaN fails every bound.
bool within(float value, float bound) { return value >= -bound && value <= bound; }

bool isOutput(uint32_t number) { return number >= 1 && number <= kMaxOutput; }

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void CFastrak::resetReception() {
    carryCount = 0;
    inStep = false;
    inDamage = false;
    leading = true;
    damagedSinceReport = 0;
    receivedSinceReport = 0;
    lastDamageReportMs = -kDamageReportMs;  // the first damage is reported at once
    for (uint32_t& count : outsideSinceReport) count = 0;
    lastOutsideReportMs = -kDamageReportMs;
    forgetOrder();
}

void CFastrak::forgetOrder() {
    for (uint32_t i = 0; i <= kStations; ++i) follower[i] = newFollower[i] = 0;
    lastGoodStation = 0;
}

// The lengths a station's frames may have, the one its set-up gives first, or none for a digit
// that is no station. A tracker station's records come at either tracker length when an output
// list command was lost or the stylus is on another station than configured; the pose is in the
// same place in both. A station outside the sensors line keeps the tracker's default list.
uint32_t CFastrak::frameLengths(uint8_t digit, uint32_t lengths[3]) const {
    if (digit < '1' || digit > '0' + kStations) return 0;
    const uint32_t station = static_cast<uint32_t>(digit - '0');
    const bool tracker = trackerStation[station - 1];
    if (stylusStation[station - 1] && !tracker) {
        lengths[0] = kStylusRecord;
        lengths[1] = kTrackerStylusRecord;
        lengths[2] = kTrackerRecord;
        return 3;
    }
    const bool stylusFirst = stylusStation[station - 1];
    lengths[0] = stylusFirst ? kTrackerStylusRecord : kTrackerRecord;
    lengths[1] = stylusFirst ? kTrackerRecord : kTrackerStylusRecord;
    return 2;
}

// A tracker frame's pose goes into stationPose as it is read, so it is decoded once. The tracker
// sends no checksum: values it cannot report, and the blank before the button, are the only sign
// of a hit frame. The status byte is not examined (a self-test error puts a letter there on a good
// record).
bool CFastrak::decodeFrame(uint32_t length) { return plausibleAt(0, length, stationPose.data()); }

bool CFastrak::plausibleAt(uint32_t at, uint32_t length, float* values) const {
    const uint8_t* frame = carry + at;
    auto isButton = [frame](uint32_t i) { return frame[i - 1] == ' ' && (frame[i] == '0' || frame[i] == '1'); };
    if (length == kStylusRecord) return isButton(kStylusButtonOffset);
    if (length == kTrackerStylusRecord && !isButton(kTrackerButtonOffset)) return false;
    const float bounds[6] = {kMaxInches,           kMaxInches,          kMaxInches,
                             180.0f + kAngleSlack, 90.0f + kAngleSlack, 180.0f + kAngleSlack};
    for (uint32_t i = 0; i < 6; ++i) {
        values[i] = littleEndianFloat(&frame[kPoseOffset + 4 * i]);
        if (!within(values[i], bounds[i])) return false;
    }
    return true;
}

// The offset of the next record header inside a frame after offset `after` ("0", a station digit,
// a blank or a letter), far enough from the frame's end that the CR LF ending the frame could lie
// in that record's values; 0 when there is none. A run of bytes lost from a record (an overrun)
// leaves exactly this: the shortened record, then the next record up to a CR LF among its values.
// On a clean line it takes a value whose bytes read as such a header.
uint32_t CFastrak::startInside(uint32_t length, uint32_t after) const {
    const uint8_t* from = carry + (after < 2 ? 2 : after + 1);
    const uint8_t* const end = carry + length - 4;  // a header here leaves room for CR LF in a value
    uint32_t lengths[3];
    while (from < end) {
        const void* found = std::memchr(from, '0', static_cast<size_t>(end - from));
        if (found == nullptr) return 0;
        const uint8_t* start = static_cast<const uint8_t*>(found);
        const uint8_t status = start[2];
        const bool statusByte = status == ' ' || (status >= 'A' && status <= 'Z') || (status >= 'a' && status <= 'z');
        if (statusByte && frameLengths(start[1], lengths) > 0) return static_cast<uint32_t>(start - carry);
        from = start + 1;
    }
    return 0;
}

// Whether a record of the station at `at` ends on CR LF with values the tracker can send. Reads
// the bytes it needs; in the overrun the rest of that record follows at once.
CFastrak::ReadResult CFastrak::framesAt(uint32_t at, bool& framed) {
    framed = false;
    uint32_t lengths[3];
    const uint32_t count = frameLengths(carry[at + 1], lengths);
    float values[6];
    for (uint32_t i = 0; i < count && !framed; ++i) {
        const ReadResult result = fillCarry(at + lengths[i]);
        if (result != ReadResult::Record) return result;
        const uint32_t end = at + lengths[i];
        framed = carry[end - 2] == '\r' && carry[end - 1] == '\n' && plausibleAt(at, lengths[i], values);
    }
    return ReadResult::Record;
}

void CFastrak::dropCarry(uint32_t count) {
    if (count >= carryCount) {
        carryCount = 0;
        return;
    }
    std::memmove(carry, carry + count, carryCount - count);
    carryCount -= count;
}

// One byte onto the carry buffer. While a damaged stretch is open the call's time is watched, so a
// line that never stops sending bytes that form no frame cannot hold the call.
CFastrak::ReadResult CFastrak::readByte() {
    if (!keepReading()) return ReadResult::Stopped;
    if (inDamage) {
        const int64_t now = steadyMs();
        if (callStartMs < 0) callStartMs = now;
        if (now - callStartMs >= kNoFrameMs) return ReadResult::NoFrame;
    }
    const int32_t got = serialPort->readPort(&carry[carryCount], 1);
    if (got == 0) return ReadResult::Silent;
    if (got < 0) return ReadResult::Failed;
    ++carryCount;
    return ReadResult::Record;
}

CFastrak::ReadResult CFastrak::fillCarry(uint32_t count) {
    while (carryCount < count) {
        const ReadResult result = readByte();
        if (result != ReadResult::Record) return result;
    }
    return ReadResult::Record;
}

// A damaged stretch, the bytes between two good frames, counts once however many false starts it
// holds. What comes before the first good frame after set-up (the tracker's answers to set-up, a
// record cut by the start of reading) is no damage of the line.
void CFastrak::frameDamaged(const char* why) {
    inStep = false;
    lastGoodStation = 0;
    if (!inDamage) {
        inDamage = true;
        if (!leading) ++damagedSinceReport;
    }
    if (logger->isDebugOn()) {
        logLine(*logger, LogLevel::Warning, "CFastrak: Damaged data dropped: ", why);
    }
}

// A station digit hit by a fault can make a well-formed record of another station. After a frame
// taken as good, the next must be of the station that followed it before; a different one is
// suspect, unless it followed there the last time too (the order changed: a station was turned
// on or off). On a clean line the order is learned from the first cycle and nothing is dropped.
bool CFastrak::inOrder(uint8_t station) {
    const uint8_t previous = lastGoodStation;
    lastGoodStation = station;
    if (previous == 0) return true;
    uint8_t& expected = follower[previous];
    if (expected == 0 || expected == station) {
        expected = station;
        newFollower[previous] = 0;
        return true;
    }
    if (newFollower[previous] == station) {
        expected = station;
        newFollower[previous] = 0;
        return true;
    }
    newFollower[previous] = station;
    return false;
}

// Finds the next frame: "0", a station digit, as many bytes as one of that station's record
// lengths, CR LF at the end and values the tracker can send. CR LF and "0" among the values are
// data. After a damaged frame the search goes on from the byte after its "0", among the bytes
// already read, so a good record beside a damaged one is kept.
//
// A frame found that way must also be followed by "0" and a station digit before it counts: a
// start inside one still receiver's values and a CR LF inside another's can frame bytes that pass
// every value check, and the bytes after such a frame are the rest of a value, not a record's
// start. The cost is two bytes of the next record, only after damage. A frame that begins where
// the last good one ended is in step with the line and is taken at once, so a clean line does not
// wait, unless a record header lies inside it (startInside). Bytes of a frame cut short by a
// silent line stay in the carry buffer for the next call.
CFastrak::ReadResult CFastrak::readFrame(uint32_t& length) {
    for (;;) {
        if (carryCount > 0 && carry[0] != '0') {
            uint32_t start = 1;
            while (start < carryCount && carry[start] != '0') ++start;
            frameDamaged("no record starts here");
            dropCarry(start);
            continue;
        }
        ReadResult result = fillCarry(2);
        if (result != ReadResult::Record) return result;
        if (carry[0] != '0') continue;  // the first byte was read just now
        uint32_t lengths[3];
        const uint32_t count = frameLengths(carry[1], lengths);
        bool framed = false;
        for (uint32_t i = 0; i < count && !framed; ++i) {
            result = fillCarry(lengths[i]);
            if (result != ReadResult::Record) return result;
            length = lengths[i];
            framed = carry[length - 2] == '\r' && carry[length - 1] == '\n' && decodeFrame(length);
        }
        if (!framed) {
            frameDamaged(count == 0 ? "no such station" : "no record of that station ends here");
            dropCarry(1);
            continue;
        }
        // A frame in step is taken at once unless a record header lies inside it. Then it is a
        // misframe when that record frames, and otherwise needs the confirmation of a frame found
        // after damage.
        bool confirm = !inStep;
        bool misframed = false;
        uint32_t inside = startInside(length, 0);
        for (; inside != 0; inside = startInside(length, inside)) {
            result = framesAt(inside, misframed);
            if (result != ReadResult::Record) return result;
            confirm = true;
            if (misframed) break;
        }
        if (misframed) {
            // Both go, in step too: a record that lost its end followed by the next record, and a
            // record whose values hold a header followed by one that lost bytes, can be the same
            // bytes.
            frameDamaged("a record starts inside the frame");
            dropCarry(inside + 1);
            continue;
        }
        if (confirm) {
            result = fillCarry(length + 2);
            if (result != ReadResult::Record) return result;
            if (carry[length] != '0' || frameLengths(carry[length + 1], lengths) == 0) {
                // Damage follows a whole frame. No record starts inside it (startInside found none
                // that frames), and a start among its values would end on a CR LF that the damage
                // moved: reading goes on after it.
                frameDamaged("no record follows");
                dropCarry(length);
                continue;
            }
        }
        if (!inOrder(static_cast<uint8_t>(carry[1] - '0'))) {
            frameDamaged("a station out of the tracker's order");
            dropCarry(length);
            continue;
        }
        logger->debug("CFastrak: EOL received.", true);
        inStep = true;
        inDamage = false;
        leading = false;
        ++receivedSinceReport;
        if (keepReading()) return ReadResult::Record;
        dropCarry(length);
        return ReadResult::Stopped;
    }
}

// One WARNING line at most every kDamageReportMs while damage happens, with the counts since the
// last one; the clock is read only while a count is pending. `now` reports what is pending at
// once (at stop, so that the counts add up).
void CFastrak::reportDamage(bool now) {
    if (damagedSinceReport == 0) return;
    const int64_t time = steadyMs();
    if (!now && time - lastDamageReportMs < kDamageReportMs) return;
    // Written whole: the host reads these lines, and other devices' threads write theirs meanwhile.
    logLine(*logger, LogLevel::Warning, "CFastrak: Damaged data on the line: ",
            std::to_string(damagedSinceReport) + (damagedSinceReport == 1 ? " frame" : " frames") + " dropped, " +
                std::to_string(receivedSinceReport) + (receivedSinceReport == 1 ? " record" : " records") +
                " received since the last report.");
    damagedSinceReport = 0;
    receivedSinceReport = 0;
    lastDamageReportMs = time;
}

// Records of a station the sensors line leaves off are dropped; a receiver plugged into the wrong
// socket shows only as this line. The same rate limit as damage.
void CFastrak::reportOutsideStations() {
    uint32_t total = 0, named = 0;
    for (uint32_t count : outsideSinceReport) {
        total += count;
        named += count > 0 ? 1 : 0;
    }
    if (total == 0) return;
    const int64_t time = steadyMs();
    if (time - lastOutsideReportMs < kDamageReportMs) return;
    std::string text;
    const char* separator = "";
    for (uint32_t i = 0; i < kStations; ++i) {
        if (outsideSinceReport[i] == 0) continue;
        text += separator + std::to_string(i + 1);
        separator = ", ";
        outsideSinceReport[i] = 0;
    }
    text += ", which the sensors line leaves off (" + std::to_string(total) + (total == 1 ? " record" : " records") +
            " since the last report); they also share the tracker's update rate.";
    logLine(*logger, LogLevel::Warning,
            named == 1 ? "CFastrak: Records arrive from station " : "CFastrak: Records arrive from stations ", text);
    lastOutsideReportMs = time;
}

int32_t CFastrak::recvData(UpdateMask* mask, int32_t /*unused*/) {
    logger->debug("CFastrak: \"recvData\" called.", true);
    bool trackerDecoded = false;
    bool controllerDecoded = false;
    if (mask != nullptr) {
        if (trackerProc != nullptr) mask->trackers = 0;
        if (controllerProc != nullptr) mask->controllers = 0;
    }
    if (serialPort == nullptr) {
        logger->error("CFastrak: Reading error occured.", true);
        return -1;
    }
    uint32_t length = 0;
    callStartMs = -1;
    const ReadResult read = readFrame(length);
    leading = false;
    if (read == ReadResult::NoFrame) inDamage = false;  // garbage without end counts once per call
    reportDamage(false);
    switch (read) {
        case ReadResult::Silent:
            forgetOrder();  // output stopped: stations may have been turned on or off meanwhile
            return 1;
        case ReadResult::NoFrame:
            return 1;
        case ReadResult::Stopped:
            return -1;
        case ReadResult::Failed:
            logger->error("CFastrak: Reading error occured.", true);
            return -1;
        case ReadResult::Record:
            break;
    }

    logger->debug("CFastrak: Checking the data format.", true);
    const int32_t rawId = static_cast<int32_t>(carry[1]) - '0';
    const uint32_t station = static_cast<uint32_t>(rawId);  // 1 to 4: readFrame framed it
    const bool isTracker = trackerStation[station - 1];
    const bool hasStylus = stylusStation[station - 1];
    if (!isTracker && !hasStylus) {
        ++outsideSinceReport[station - 1];
        reportOutsideStations();
    }

    uint32_t newConId = 0;
    // Only a frame that carries the button item has a button: a stylus station's record at the
    // tracker's plain length has none.
    if (controllerProc != nullptr && hasStylus && length != kTrackerRecord) {
        newConId = controllerProc->stylusOutputNumber(station);
        if (logger->isDebugOn()) {
            logger->debug("CFastrak: rawID: ", false);
            std::cout << rawId << " newConID: " << newConId << std::endl;
        }
        if (isOutput(newConId)) {
            const uint32_t buttonAt = length == kTrackerStylusRecord ? kTrackerButtonOffset : kStylusButtonOffset;
            const bool pressed = carry[buttonAt] == '1';
            if (logger->isDebugOn()) {
                logger->debug("CFastrak: but: ", false);
                std::cout << (pressed ? 1 : 0) << std::endl;
            }
            controllerDecoded = controllerProc->fillStylusRecord(station, pressed, currentController);
        }
    }

    uint32_t newTraId = 0;
    if (trackerProc != nullptr && length != kStylusRecord) {
        if (station <= trackerProc->numStations && trackerProc->stations != nullptr) {
            const uint32_t output = trackerProc->stations[station - 1].outputNumber;
            if (output != 0) newTraId = output + trackerProc->trackerBase;
        }
        if (logger->isDebugOn()) {
            logger->debug("CFastrak: rawID: ", false);
            std::cout << rawId << " newTraID: " << newTraId << std::endl;
        }
        if (isOutput(newTraId) && isTracker) {
            currentTracker.stampTime();
            currentTracker.setId(newTraId);
            Pose& pose = stationPose;  // as decodeFrame read it
            convertDevicePose(pose, trackerProc->caveCoordinates);
            if (!trackerProc->processPose(station, pose)) {
                dropCarry(length);
                return -1;
            }
            currentTracker.setX(pose.x);
            currentTracker.setY(pose.y);
            currentTracker.setZ(pose.z);
            currentTracker.setAzimuth(pose.azimuth);
            currentTracker.setElevation(pose.elevation);
            currentTracker.setRoll(pose.roll);
            trackerDecoded = true;
        }
    }
    dropCarry(length);

    if (trackerProc != nullptr && trackerDecoded) publishTracker(station, newTraId, mask, trackerDecoded);
    if (controllerProc != nullptr && controllerDecoded) publishController(station, newConId, mask, controllerDecoded);

    if (!trackerDecoded && !controllerDecoded && logger->isDebugOn()) {
        logger->warning("CFastrak: No valid data received.", true);
    }
    return 1;
}

// Each storage's lock is taken alone and only around the copy, never across a read.
void CFastrak::publishTracker(uint32_t station, uint32_t newTraId, UpdateMask* mask, bool& decoded) {
    TrackerRecord& last = lastTracker[station - 1];
    if (TrackerRecord::isEqual(last, currentTracker)) return;
    CDataStorage* storage = initInfo.trackerStorage;
    storage->lock();
    trackerSlot = storage->getTrackerData(newTraId);
    if (trackerSlot != nullptr) {
        logger->debug("CFastrak: TraData storage found", true);
        std::memcpy(static_cast<void*>(trackerSlot), &currentTracker, sizeof currentTracker);
    } else {
        logger->error("CFastrak: TraData storage not found", true);
        decoded = false;
    }
    storage->unlock();
    if (mask != nullptr) storage::markTracker(*mask, newTraId);
    last = currentTracker;
}

void CFastrak::publishController(uint32_t station, uint32_t newConId, UpdateMask* mask, bool& decoded) {
    ControllerRecord& last = lastController[station - 1];
    if (ControllerRecord::isEqual(last, currentController)) return;
    CDataStorage* storage = initInfo.controllerStorage;
    storage->lock();
    controllerSlot = storage->getControllerData(newConId);
    if (controllerSlot != nullptr) {
        logger->debug("CFastrak: ConData storage found", true);
        std::memcpy(static_cast<void*>(controllerSlot), &currentController, sizeof currentController);
    } else {
        logger->error("CFastrak: ConData storage not found", true);
        decoded = false;
    }
    storage->unlock();
    if (mask != nullptr) storage::markController(*mask, newConId);
    last = currentController;
}
