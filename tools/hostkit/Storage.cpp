// Storage: builds the storage words around a real system mutex.
#include "Storage.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>

#include <cerrno>
#endif

namespace fastrakhost {
namespace {

void copyField(char (&field)[100], const char* text) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text, sizeof field - 1);
}

}  // namespace

uint32_t fromNetwork(uint32_t word) {
    const auto* b = reinterpret_cast<const unsigned char*>(&word);
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
           b[3];
}

void fillLogger(Logger& logger, const char* name) {
    std::memset(&logger, 0, sizeof logger);
    logger.showDate = 1;
    logger.showTime = 1;
    logger.showThreadId = 1;
    logger.enabled = 1;
    copyField(logger.name, name);
    copyField(logger.infoLabel, "INFO");
    copyField(logger.errorLabel, "ERROR");
    copyField(logger.warningLabel, "WARNING");
    copyField(logger.debugLabel, "DEBUG");
    logger.debugThreshold = 1;
}

#if defined(_WIN32)

struct Storage::SystemMutex {
    HANDLE handle;
    SystemMutex() : handle(CreateMutexA(nullptr, FALSE, nullptr)) {}
    ~SystemMutex() {
        if (handle != nullptr) CloseHandle(handle);
    }
    void* address() { return handle; }
    void lock() { WaitForSingleObject(handle, INFINITE); }  // an abandoned mutex is owned all the same
    bool lockWithin(int ms) {
        const DWORD got = WaitForSingleObject(handle, static_cast<DWORD>(ms));
        return got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
    }
    void unlock() { ReleaseMutex(handle); }
};

#else

struct Storage::SystemMutex {
    pthread_mutex_t mutex;
    bool ready;
    SystemMutex() : mutex(), ready(false) {
        pthread_mutexattr_t attributes;
        if (pthread_mutexattr_init(&attributes) != 0) return;
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        ready = pthread_mutex_init(&mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    ~SystemMutex() {
        if (ready) pthread_mutex_destroy(&mutex);
    }
    void* address() { return ready ? &mutex : nullptr; }
    void lock() {
        // A thread that died holding it left the data as it was: one record copy, never torn
        // across the count, so the host carries on.
        if (pthread_mutex_lock(&mutex) == EOWNERDEAD) pthread_mutex_consistent(&mutex);
    }
    bool lockWithin(int ms) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        until.tv_sec += ms / 1000 + until.tv_nsec / 1000000000L;
        until.tv_nsec %= 1000000000L;
        const int got = pthread_mutex_timedlock(&mutex, &until);
        if (got == EOWNERDEAD) pthread_mutex_consistent(&mutex);
        return got == 0 || got == EOWNERDEAD;
    }
    void unlock() { pthread_mutex_unlock(&mutex); }
};

#endif

Storage::Storage(Kind kind, const Logger& logger)
    : count_(0), kind_(kind), logger_(logger), system_(new SystemMutex), mutex_(), storage_() {
    build();
}

Storage::Storage(Kind kind, const std::string& loggerName)
    : count_(0), kind_(kind), logger_(), system_(new SystemMutex), mutex_(), storage_() {
    fillLogger(logger_, loggerName.c_str());
    build();
}

void Storage::build() {
    const size_t recordSize = kind_ == Kind::Tracker ? sizeof(TrackerRecord) : sizeof(ControllerRecord);
    slots_.assign((kSlots * recordSize + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    mutex_.handle = system_->address();
    mutex_.logger = &logger_;
    storage_.trackerList = trackers();
    storage_.controllerList = controllers();
    storage_.logger = &logger_;
    storage_.mutex = &mutex_;
    storage_.count = &count_;
}

Storage::~Storage() = default;

TrackerRecord* Storage::trackers() const {
    if (kind_ != Kind::Tracker) return nullptr;
    return reinterpret_cast<TrackerRecord*>(const_cast<uint64_t*>(slots_.data()));
}

ControllerRecord* Storage::controllers() const {
    if (kind_ != Kind::Controller) return nullptr;
    return reinterpret_cast<ControllerRecord*>(const_cast<uint64_t*>(slots_.data()));
}

bool Storage::ready() const { return mutex_.handle != nullptr; }
void Storage::lock() { system_->lock(); }
bool Storage::lockWithin(int ms) { return system_->lockWithin(ms); }
void Storage::unlock() { system_->unlock(); }

void Storage::plainPrefix() {
    logger_.showDate = 0;
    logger_.showTime = 0;
    logger_.showThreadId = 0;
}

}  // namespace fastrakhost
