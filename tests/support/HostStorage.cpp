// HostStorage: builds the host's storage words around a real system mutex.
#include "support/HostStorage.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <pthread.h>
#  include <time.h>
#endif

namespace testsupport {
namespace {

constexpr uint32_t kListSize = 32;

void copyField(char (&field)[100], const std::string& text) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text.c_str(), sizeof field - 1);
}

// Filled as a host fills the record it hands over, without calling into the module.
void fillLogger(Logger& logger, const std::string& name) {
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

}  // namespace

#if defined(_WIN32)

struct HostStorage::SystemMutex {
    HANDLE handle;
    SystemMutex() : handle(CreateMutexA(nullptr, FALSE, nullptr)) {}
    ~SystemMutex() {
        if (handle != nullptr) CloseHandle(handle);
    }
    void* address() { return handle; }
    bool lockWithin(int ms) {
        const DWORD got = WaitForSingleObject(handle, static_cast<DWORD>(ms));
        return got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
    }
    void unlock() { ReleaseMutex(handle); }
};

#else

// Recursive like a Win32 mutex, robust so that a thread that dies holding it abandons it.
struct HostStorage::SystemMutex {
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

HostStorage::HostStorage(StorageKind kind, const std::string& loggerName)
    : kind_(kind), count_(0), logger_(), system_(new SystemMutex), mutex_(), storage_() {
    fillLogger(logger_, loggerName);
    if (kind == StorageKind::Tracker) {
        trackers_.resize(kListSize);
    } else {
        controllers_.resize(kListSize);
    }
    mutex_.handle = system_->address();
    mutex_.logger = &logger_;
    storage_.trackerList = trackers();
    storage_.controllerList = controllers();
    storage_.logger = &logger_;
    storage_.mutex = &mutex_;
    storage_.count = &count_;
}

HostStorage::~HostStorage() = default;

bool HostStorage::lockWithin(int ms) { return system_->lockWithin(ms); }

void HostStorage::unlock() { system_->unlock(); }

void HostStorage::plainPrefix() {
    logger_.showDate = 0;
    logger_.showTime = 0;
    logger_.showThreadId = 0;
}

}  // namespace testsupport
