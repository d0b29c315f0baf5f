// CDataStorage: the count setters' refusals in order, claiming output numbers and slot lookup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fastrak/DataStorage.h"
#include "support/CaptureStdout.h"
#include "support/HostStorage.h"

using testsupport::CaptureStdout;
using testsupport::HostStorage;
using testsupport::StorageKind;

namespace {

const std::string kError = "HOST: ERROR: ";

// Runs a setter and returns its result with what it wrote.
template <typename Call>
std::pair<bool, std::string> run(Call call) {
    CaptureStdout capture;
    const bool result = call();
    return {result, capture.finish()};
}

struct Refusal {
    const char* what;
    void (*prepare)(HostStorage&);
    uint32_t n;
    std::string line;
};

void nothing(HostStorage&) {}
void dropOwnList(HostStorage& host) {
    host.storage()->trackerList = nullptr;
    host.storage()->controllerList = nullptr;
}
void dropMutex(HostStorage& host) { host.storage()->mutex = nullptr; }
void dropListAndMutex(HostStorage& host) {
    dropOwnList(host);
    dropMutex(host);
}
void addOtherListDropMutex(HostStorage& host) {
    static TrackerRecord trackers[32];
    static ControllerRecord controllers[32];
    if (host.storage()->trackerList == nullptr) host.storage()->trackerList = trackers;
    if (host.storage()->controllerList == nullptr) host.storage()->controllerList = controllers;
    dropMutex(host);
}

void checkRefusals(StorageKind kind, const std::vector<Refusal>& refusals) {
    for (const Refusal& refusal : refusals) {
        HostStorage host(kind);
        host.plainPrefix();
        host.setCount(3);
        refusal.prepare(host);
        CDataStorage* storage = host.storage();
        const auto outcome = run([&] {
            return kind == StorageKind::Tracker ? storage->setTrackerNumber(refusal.n)
                                                : storage->setControllerNumber(refusal.n);
        });
        EXPECT_FALSE(outcome.first) << refusal.what;
        EXPECT_EQ(outcome.second, kError + refusal.line + "\n") << refusal.what;
        EXPECT_EQ(host.count(), 3u) << refusal.what;
    }
}

}  // namespace

TEST(DataStorage, TrackerCountRefusalsComeInTheirOrder) {
    checkRefusals(
        StorageKind::Tracker,
        {
            {"too big on a good storage", nothing, 33, "CDataStorage: The new number is too big."},
            {"too big without any list", dropListAndMutex, 33, "CDataStorage: The new number is too big."},
            {"controller list, no mutex, zero", addOtherListDropMutex, 0, "Delete controller data list first."},
            {"no list, no mutex, zero", dropListAndMutex, 0, "CDataStorage: Data storage has not been created yet."},
            {"no mutex, zero", dropMutex, 0, "CDataStorage: Mutex has not been set up yet."},
            {"zero", nothing, 0, "CDataStorage: the number of data is zero."},
        });
    HostStorage controllerStorage(StorageKind::Controller);
    controllerStorage.plainPrefix();
    const auto outcome = run([&] { return controllerStorage.storage()->setTrackerNumber(5); });
    EXPECT_FALSE(outcome.first);
    EXPECT_EQ(outcome.second, kError + "Delete controller data list first.\n");
}

TEST(DataStorage, ControllerCountRefusalsComeInTheirOrder) {
    checkRefusals(
        StorageKind::Controller,
        {
            {"too big on a good storage", nothing, 33, "CDataStorage: The new number is too big."},
            {"too big without any list", dropListAndMutex, 33, "CDataStorage: The new number is too big."},
            {"tracker list, no mutex, zero", addOtherListDropMutex, 0, "CDataStorage: Delete tracker data list first."},
            {"no list, no mutex, zero", dropListAndMutex, 0, "CDataStorage: Datt Storage has not been created yet."},
            {"no mutex, zero", dropMutex, 0, "CDataStorage: Mutex has not been set up yet."},
            {"zero", nothing, 0, "CDataStorage: the number of data is zero."},
        });
    HostStorage trackerStorage(StorageKind::Tracker);
    trackerStorage.plainPrefix();
    const auto outcome = run([&] { return trackerStorage.storage()->setControllerNumber(5); });
    EXPECT_FALSE(outcome.first);
    EXPECT_EQ(outcome.second, kError + "CDataStorage: Delete tracker data list first.\n");
}

TEST(DataStorage, AcceptedCountsAreStoredSilently) {
    HostStorage trackers(StorageKind::Tracker);
    HostStorage controllers(StorageKind::Controller);
    const auto first = run([&] { return trackers.storage()->setTrackerNumber(32); });
    EXPECT_TRUE(first.first);
    EXPECT_EQ(first.second, "");
    EXPECT_EQ(trackers.count(), 32u);
    const auto second = run([&] { return controllers.storage()->setControllerNumber(1); });
    EXPECT_TRUE(second.first);
    EXPECT_EQ(second.second, "");
    EXPECT_EQ(controllers.count(), 1u);
}

TEST(DataStorage, StorageWithoutLoggerOrCountRefusesWithoutCrashing) {
    HostStorage host(StorageKind::Tracker);
    host.storage()->logger = nullptr;
    host.storage()->mutex = nullptr;
    const auto quiet = run([&] {
        return host.storage()->setTrackerNumber(40) || host.storage()->setTrackerNumber(0) || host.storage()->lock() ||
               host.storage()->unlock();
    });
    EXPECT_FALSE(quiet.first);
    EXPECT_EQ(quiet.second, "");

    HostStorage noCount(StorageKind::Tracker);
    noCount.plainPrefix();
    noCount.storage()->count = nullptr;
    const auto outcome = run([&] { return noCount.storage()->setTrackerNumber(2); });
    EXPECT_FALSE(outcome.first);
    EXPECT_EQ(outcome.second, kError + "CDataStorage: Data storage has not been created yet.\n");
    EXPECT_EQ(noCount.storage()->getTrackerNumber(), 0u);
    EXPECT_EQ(noCount.storage()->getTrackerData(1), nullptr);
}

TEST(DataStorage, ClaimingAfterAnotherDeviceGivesTheNextOutputNumbers) {
    for (StorageKind kind : {StorageKind::Tracker, StorageKind::Controller}) {
        HostStorage host(kind);
        host.setCount(5);
        CDataStorage* storage = host.storage();
        const bool tracker = kind == StorageKind::Tracker;
        const auto outcome = run([&] {
            bool ok = storage->lock();
            const uint32_t base = tracker ? storage->getTrackerNumber() : storage->getControllerNumber();
            EXPECT_EQ(base, 5u);
            ok = (tracker ? storage->setTrackerNumber(base + 2) : storage->setControllerNumber(base + 2)) && ok;
            return storage->unlock() && ok;
        });
        EXPECT_TRUE(outcome.first);
        EXPECT_EQ(outcome.second, "");
        EXPECT_EQ(host.count(), 7u);
        if (tracker) {
            EXPECT_EQ(storage->getTrackerData(6), &host.trackers()[5]);
            EXPECT_EQ(storage->getTrackerData(7), &host.trackers()[6]);
            EXPECT_EQ(storage->getTrackerData(8), nullptr);
        } else {
            EXPECT_EQ(storage->getControllerData(6), &host.controllers()[5]);
            EXPECT_EQ(storage->getControllerData(7), &host.controllers()[6]);
            EXPECT_EQ(storage->getControllerData(8), nullptr);
        }
    }
}

TEST(DataStorage, SlotLookupStaysWithinCountListAndKind) {
    HostStorage trackers(StorageKind::Tracker);
    HostStorage controllers(StorageKind::Controller);
    CaptureStdout capture;
    trackers.setCount(3);
    EXPECT_EQ(trackers.storage()->getTrackerData(1), &trackers.trackers()[0]);
    EXPECT_EQ(trackers.storage()->getTrackerData(3), &trackers.trackers()[2]);
    EXPECT_EQ(trackers.storage()->getTrackerData(4), nullptr);
    EXPECT_EQ(trackers.storage()->getTrackerData(0), nullptr);
    EXPECT_EQ(trackers.storage()->getControllerData(1), nullptr);
    trackers.setCount(32);
    EXPECT_EQ(trackers.storage()->getTrackerData(32), &trackers.trackers()[31]);
    EXPECT_EQ(trackers.storage()->getTrackerData(33), nullptr);
    // A count the host left above 32 still never reaches past the 32 records of the list.
    trackers.setCount(1000);
    EXPECT_EQ(trackers.storage()->getTrackerData(33), nullptr);
    EXPECT_EQ(trackers.storage()->getTrackerData(0xFFFFFFFFu), nullptr);

    controllers.setCount(9);
    EXPECT_EQ(controllers.storage()->getTrackerNumber(), 0u);
    EXPECT_EQ(controllers.storage()->getControllerNumber(), 9u);
    EXPECT_EQ(trackers.storage()->getControllerNumber(), 0u);
    EXPECT_EQ(controllers.storage()->getControllerData(9), &controllers.controllers()[8]);
    EXPECT_EQ(controllers.storage()->getControllerData(10), nullptr);
    EXPECT_EQ(controllers.storage()->getTrackerData(1), nullptr);
    EXPECT_EQ(capture.finish(), "");
}
