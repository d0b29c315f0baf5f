// TrackerRecord operations: id, time stamp, the six fixed-point pose fields and the change test.
#include "fastrak/Records.h"

#include "storage/FixedPoint.h"
#include "storage/RecordTime.h"

using storage::fromFixed;
using storage::fromNetSigned;
using storage::kPoseScale;
using storage::kPoseUnitsPerReal;
using storage::toFixed;
using storage::toNetSigned;

namespace {

int32_t poseField(float value) { return toNetSigned(toFixed(value, kPoseUnitsPerReal)); }

float poseValue(int32_t netField) { return fromFixed(fromNetSigned(netField), kPoseScale); }

}  // namespace

TrackerRecord::TrackerRecord()
    : id(0),
      reserved1(0),
      timeSec(0),
      timeUsec(0),
      reserved2(0),
      x(0),
      y(0),
      z(0),
      azimuth(0),
      elevation(0),
      roll(0),
      clock() {}

bool TrackerRecord::setId(uint32_t n) {
    if (n < 1 || n > 32) return false;
    id = storage::toNet(n);
    return true;
}

bool TrackerRecord::stampTime() {
    storage::stampRecordTime(clock, timeSec, timeUsec);
    return true;
}

bool TrackerRecord::setX(float value) {
    x = poseField(value);
    return true;
}

bool TrackerRecord::setY(float value) {
    y = poseField(value);
    return true;
}

bool TrackerRecord::setZ(float value) {
    z = poseField(value);
    return true;
}

bool TrackerRecord::setAzimuth(float value) {
    azimuth = poseField(value);
    return true;
}

bool TrackerRecord::setElevation(float value) {
    elevation = poseField(value);
    return true;
}

bool TrackerRecord::setRoll(float value) {
    roll = poseField(value);
    return true;
}

float TrackerRecord::getRoll() const { return poseValue(roll); }

// The stored integers, not their values as floats: from 128.0 up a float cannot tell neighbouring
// units apart, and a one-unit move would go unpublished.
bool TrackerRecord::isEqual(const TrackerRecord& previous, const TrackerRecord& current) {
    return previous.id == current.id && previous.x == current.x && previous.y == current.y && previous.z == current.z &&
           previous.azimuth == current.azimuth && previous.elevation == current.elevation &&
           previous.roll == current.roll;
}
