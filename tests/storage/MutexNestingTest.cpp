// The storage paths never lock a host mutex they already hold: run over a robust mutex that is not
// recursive, where a nested lock would hang, but error-checking, so that it fails and shows instead.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <thread>

#include "fastrak/DataStorage.h"
#include "support/CaptureStdout.h"
#include "support/HostStorage.h"

using testsupport::CaptureStdout;
using testsupport::HostStorage;
using testsupport::StorageKind;

namespace {

struct PlainRobustMutex {
    PlainRobustMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        ready = pthread_mutex_init(&mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    ~PlainRobustMutex() {
        if (ready) pthread_mutex_destroy(&mutex);
    }
    pthread_mutex_t mutex;
    bool ready = false;
};

}  // namespace

TEST(MutexNesting, ClaimPublishRefusalAndRecoveryEachTakeTheLockOnce) {
    HostStorage host(StorageKind::Tracker);
    host.plainPrefix();
    PlainRobustMutex plain;
    ASSERT_TRUE(plain.ready);
    host.mutex().handle = &plain.mutex;
    CDataStorage* storage = host.storage();
    host.setCount(5);

    CaptureStdout capture;
    // Claiming output numbers, as the device's set-up does.
    EXPECT_TRUE(storage->lock());
    const uint32_t base = storage->getTrackerNumber();
    EXPECT_TRUE(storage->setTrackerNumber(base + 2));
    EXPECT_FALSE(storage->setTrackerNumber(0));  // a refusal logs while the lock is held
    EXPECT_FALSE(storage->setControllerNumber(1));
    EXPECT_TRUE(storage->unlock());
    // Publishing records, one lock per record.
    for (uint32_t n = base + 1; n <= base + 2; ++n) {
        EXPECT_TRUE(storage->lock());
        TrackerRecord* slot = storage->getTrackerData(n);
        ASSERT_NE(slot, nullptr);
        slot->setId(n);
        EXPECT_TRUE(storage->unlock());
    }
    // A mutex left by a dead thread: the failed lock owns it; one unlock frees it.
    std::thread([&] { storage->lock(); }).join();
    EXPECT_FALSE(storage->lock());
    EXPECT_TRUE(storage->unlock());
    const auto lines = testsupport::splitLines(capture.finish());

    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "HOST: ERROR: CDataStorage: the number of data is zero.");
    EXPECT_EQ(lines[1], "HOST: ERROR: CDataStorage: Delete tracker data list first.");
    EXPECT_EQ(lines[2].rfind("HOST: ERROR: CMutexH: Locking mutex: ", 0), 0u) << lines[2];
    EXPECT_EQ(host.count(), 7u);
    bool freeForOthers = false;
    std::thread([&] {
        freeForOthers = pthread_mutex_trylock(&plain.mutex) == 0;
        if (freeForOthers) pthread_mutex_unlock(&plain.mutex);
    }).join();
    EXPECT_TRUE(freeForOthers);
}
