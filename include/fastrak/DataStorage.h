// CDataStorage and CMutexH: the host-made storage objects, as far as the module uses them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fastrak/Logger.h"
#include "fastrak/Records.h"

// A host mutex: the module touches only the handle (word 17) and the Logger pointer (word 20).
//
// On Windows the handle is a Win32 mutex. On POSIX it is the address of a pthread_mutex_t that the
// host initialised and keeps alive while the module runs, with these attributes:
//   PTHREAD_MUTEX_RECURSIVE  a Win32 mutex lets the thread that holds it lock it again; a plain
//                            pthread mutex hangs that thread instead.
//   PTHREAD_MUTEX_ROBUST     a thread that dies holding it leaves it abandoned, not locked for ever;
//                            the next lock reports the abandonment and owns the mutex.
// The module itself never locks a storage mutex it already holds: it takes it once to claim its
// output numbers and once per published record.
struct CMutexH {
    void* hostWords0[17];
    void* handle;  // Win32 mutex HANDLE, or the address of a pthread_mutex_t (see above)
    void* hostWords1[2];
    Logger* logger;

    bool lock();
    bool unlock();
};

// A host storage of one kind of record: nine pointer-sized words. Only lock and unlock touch the
// mutex; the caller brackets every use of the count and the lists with them.
struct CDataStorage {
    void* hostWord0;
    TrackerRecord* trackerList;        // room for 32 records, or null
    ControllerRecord* controllerList;  // room for 32 records, or null
    Logger* logger;
    void* hostWord4;
    CMutexH* mutex;
    void* hostWord6;
    void* hostWord7;
    uint32_t* count;  // records claimed so far

    bool setTrackerNumber(uint32_t n);
    bool setControllerNumber(uint32_t n);
    uint32_t getTrackerNumber() const;
    uint32_t getControllerNumber() const;
    TrackerRecord* getTrackerData(uint32_t n) const;
    ControllerRecord* getControllerData(uint32_t n) const;
    bool lock();
    bool unlock();
};

static_assert(offsetof(CMutexH, handle) == 17 * sizeof(void*), "CMutexH layout");
static_assert(offsetof(CMutexH, logger) == 20 * sizeof(void*), "CMutexH layout");
static_assert(sizeof(CDataStorage) == 9 * sizeof(void*), "CDataStorage is nine words");
static_assert(offsetof(CDataStorage, mutex) == 5 * sizeof(void*), "CDataStorage layout");
static_assert(offsetof(CDataStorage, count) == 8 * sizeof(void*), "CDataStorage layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(CMutexH, handle) == 68, "CMutexH handle at byte 68 on 32-bit hosts");
static_assert(offsetof(CMutexH, logger) == 80, "CMutexH Logger at byte 80 on 32-bit hosts");
static_assert(sizeof(CDataStorage) == 36, "CDataStorage is 36 bytes on 32-bit hosts");
#endif
