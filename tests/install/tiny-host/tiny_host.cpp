// tiny-host: loads the installed module, drives it through its lifecycle on PORT and prints the
// poses of tracker output 1 in feet, one "pose X Y Z" line per published record.
#include <dlfcn.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fastrak/fastrak.h"

namespace {

uint32_t fromNet(uint32_t word) {
    unsigned char b[4];
    std::memcpy(b, &word, 4);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

double feet(int32_t field) { return static_cast<int32_t>(fromNet(static_cast<uint32_t>(field))) * 0.00001; }

void label(char (&field)[100], const char* text) { std::strncpy(field, text, sizeof field - 1); }

int fail(const char* what) {
    std::fprintf(stderr, "tiny-host: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return fail("usage: tiny-host PORT RECORDS");
    const int wanted = std::atoi(argv[2]);
    void* library = dlopen(FASTRAK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return fail(dlerror());
    auto create = reinterpret_cast<CreateDevFunction>(dlsym(library, "createDev"));
    auto destroy = reinterpret_cast<DeleteDevFunction>(dlsym(library, "deleteDev"));
    if (create == nullptr || destroy == nullptr) return fail("no createDev or deleteDev");

    Logger logger{};
    logger.enabled = 1;
    label(logger.name, "tiny");
    label(logger.infoLabel, "INFO");
    label(logger.errorLabel, "ERROR");
    label(logger.warningLabel, "WARNING");
    label(logger.debugLabel, "DEBUG");

    // Option lines as a host hands them over: port, one tracker on station 1, the tracker's axes.
    static char kPort[] = "port", kSensors[] = "sensors", kCave[] = "cavecoord", kOne[] = "1", kZero[] = "0",
                kOff[] = "off", kName[] = "tiny";
    static DeviceConfig config{};
    config.deviceName = kName;
    config.entries[0].keyword = kPort;
    config.entries[0].args[0] = argv[1];
    config.entries[0].argCount = 1;
    config.entries[1].keyword = kSensors;
    config.entries[1].args[0] = kOne;
    for (int i = 1; i < 4; ++i) config.entries[1].args[i] = kZero;
    config.entries[1].argCount = 4;
    config.entries[2].keyword = kCave;
    config.entries[2].args[0] = kOff;
    config.entries[2].argCount = 1;
    config.lineCount = 3;
    for (uint32_t i = 0; i < config.lineCount; ++i) config.entries[i].lineNumber = i + 1;

    // The host's tracker storage: 32 slots, a count and a robust recursive mutex.
    pthread_mutex_t mutex;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&mutex, &attributes);
    std::vector<uint64_t> slots(32 * sizeof(TrackerRecord) / sizeof(uint64_t) + 1, 0);
    uint32_t count = 0;
    CMutexH mutexWords{};
    mutexWords.handle = &mutex;
    mutexWords.logger = &logger;
    CDataStorage trackers{};
    trackers.trackerList = reinterpret_cast<TrackerRecord*>(slots.data());
    trackers.logger = &logger;
    trackers.mutex = &mutexWords;
    trackers.count = &count;
    int32_t runFlag = 1;
    InitInfo info{};
    info.trackerStorage = &trackers;
    info.runFlag = &runFlag;

    CBase* device = create(&config, &logger);
    if (device == nullptr) return fail("createDev made no device");
    if (device->init(&info) != 1) return fail("init failed");
    if (!device->start()) return fail("start failed");
    int published = 0;
    while (published < wanted) {
        UpdateMask mask{0, 0};
        if (device->recvData(&mask, 0) != 1) return fail("recvData failed");
        if ((fromNet(mask.trackers) & 1u) == 0) continue;
        pthread_mutex_lock(&mutex);
        const TrackerRecord record = trackers.trackerList[0];
        pthread_mutex_unlock(&mutex);
        if (fromNet(record.id) != 1) return fail("output 1 holds another id");
        std::printf("pose %.5f %.5f %.5f\n", feet(record.x), feet(record.y), feet(record.z));
        ++published;
    }
    runFlag = 0;
    const bool stopped = device->stop();
    const bool deleted = destroy(device);
    dlclose(library);
    pthread_mutex_destroy(&mutex);
    if (!stopped || !deleted) return fail("stop or deleteDev failed");
    std::printf("lifecycle done: %d records\n", published);
    return 0;
}
