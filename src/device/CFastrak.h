// CFastrak: the device object that drives one tracker for the host.
#pragma once

#include <cstdint>

#include "fastrak/CBase.h"
#include "fastrak/DeviceConfig.h"
#include "fastrak/InitInfo.h"
#include "fastrak/Records.h"
#include "tracker/Pose.h"

class CRS232H;
class CTraCommonH;
class CConCommonH;

class CFastrak final : public CBase {
public:
    // A frame is at most 31 bytes (a tracker station with the stylus); the carry buffer holds one
    // and the two bytes after it that confirm a frame found after damage, or a frame and the
    // record that may start inside it.
    enum : uint32_t { kStations = 4, kMaxFrame = 31, kCarry = 2 * kMaxFrame + 2 };
    // Damage and records of stations outside the sensors line are reported at most this often.
    enum : int64_t { kDamageReportMs = 10000 };
    // A call that meets bytes but no frame for this long returns, so damage is reported while it
    // goes on and the host's checks run.
    enum : int64_t { kNoFrameMs = 100 };

    CFastrak(DeviceConfig* configuration, const Logger* hostLogger);
    ~CFastrak();

    int32_t init(InitInfo* info) override;
    bool start() override;
    int32_t configure() override;
    bool stop() override;
    bool printSummary() override;
    int32_t recvData(UpdateMask* mask, int32_t unused) override;
    int32_t sendData(void* data, int32_t size) override;

    // True when the constructor could make the device's Logger.
    bool valid() const { return logger != nullptr; }

    // The command protocol: set-up sends these in order, stop sends stopContinuous. Each is judged
    // by the bytes the port accepted; stations are numbered 1 to 4.
    bool resetDevice();
    bool setAlignment();
    bool setHemisphere(int32_t station, const char* hemisphere);
    bool setStylusButton(int32_t station);
    bool setDataFormat(int32_t station, bool tracker, bool stylus);
    bool setBinaryMode();
    bool startContinuous();
    bool stopContinuous();

private:
    // Tests set up station flags and attach an open port through this; the module never defines it.
    friend struct FastrakTestAccess;

    // Set-up pieces, in the order init runs them.
    void release();
    bool exitCalibration();
    void setDefaults();
    bool readDeviceOptions();
    const char* applyDeviceOption(int option, const OptionLine& line);
    const char* applyHemisphere(const OptionLine& line);
    bool setUpTracker();
    bool setUpController();
    bool openAndConfigurePort();
    bool programTracker();

    // Reception pieces: one frame found in the carry buffer (reading more bytes as needed), then its
    // two halves decoded and published.
    enum class ReadResult { Record, Silent, Stopped, Failed, NoFrame };
    ReadResult readFrame(uint32_t& length);
    ReadResult readByte();
    ReadResult fillCarry(uint32_t count);
    uint32_t frameLengths(uint8_t digit, uint32_t lengths[3]) const;
    bool decodeFrame(uint32_t length);
    bool plausibleAt(uint32_t at, uint32_t length, float* values) const;
    uint32_t startInside(uint32_t length, uint32_t after) const;
    ReadResult framesAt(uint32_t at, bool& framed);
    void dropCarry(uint32_t count);
    void frameDamaged(const char* why);
    bool inOrder(uint8_t station);
    void forgetOrder();
    void reportDamage(bool now);
    void reportOutsideStations();
    void resetReception();
    void publishTracker(uint32_t station, uint32_t newTraId, UpdateMask* mask, bool& decoded);
    void publishController(uint32_t station, uint32_t newConId, UpdateMask* mask, bool& decoded);
    // The host clears its flag from another thread while a call reads: an atomic load, so the
    // read is defined however the host writes the word.
    bool keepReading() const { return runFlag == nullptr || __atomic_load_n(runFlag, __ATOMIC_RELAXED) != 0; }

    CRS232H* serialPort;
    char* deviceName;
    char* serialPortName;
    bool resetAtInit;
    int32_t baudRate;
    bool trackerStation[kStations];
    bool stylusStation[kStations];
    char hemisphereCommand[kStations][16];
    InitInfo initInfo;
    TrackerRecord* trackerSlot;
    TrackerRecord lastTracker[kStations];
    TrackerRecord currentTracker;
    ControllerRecord* controllerSlot;
    ControllerRecord lastController[kStations];
    ControllerRecord currentController;
    uint32_t numTrackers;
    uint32_t numControllers;
    // Bytes read but not yet used up: the frame being read and, after a damaged frame, the bytes
    // that may hold the next start. Kept between calls.
    uint8_t carry[kCarry];
    uint32_t carryCount;
    // The carry buffer starts where the last good frame ended, so a frame there needs no
    // confirmation. False after set-up and after damage.
    bool inStep;
    bool inDamage;  // a damaged stretch is open; it counts once
    bool leading;   // before the first good frame after set-up: set-up's leftovers are no damage
    uint32_t damagedSinceReport;
    uint32_t receivedSinceReport;
    int64_t lastDamageReportMs;
    uint32_t outsideSinceReport[kStations];  // records of stations the sensors line leaves off
    int64_t lastOutsideReportMs;
    int64_t callStartMs;  // when this call first met damage; -1 before
    // The tracker sends its active stations in turn, in ascending order. Learned from the line:
    // the station that followed each station, and an unexpected follower seen once, which the
    // next time is taken as a change of the order. Indexed by station 1 to 4; 0 is none.
    uint8_t follower[kStations + 1];
    uint8_t newFollower[kStations + 1];
    uint8_t lastGoodStation;  // the station of the frame just taken; 0 after damage

    Pose stationPose;
    int32_t* runFlag;
    DeviceConfig* config;
    CTraCommonH* trackerProc;
    CConCommonH* controllerProc;
    bool calibStarted;  // the calibration library's init was called and its exit not yet
    // Only tests and fuzz targets set this, to read a regular file as the line; no option can.
    bool acceptsPlainFile;
};
