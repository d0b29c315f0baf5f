// CMutexH over a real system mutex: failures and their texts, abandonment, and real contention.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "fastrak/DataStorage.h"
#include "platform/SystemMessage.h"
#include "platform/win32.h"
#include "support/CaptureStdout.h"
#include "support/HostStorage.h"

using testsupport::CaptureStdout;
using testsupport::HostStorage;
using testsupport::StorageKind;

namespace {

const std::string kError = "HOST: ERROR: ";

// A system text worth printing: present and not the fallback for an unknown code.
void expectRealText(const std::string& text) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << text;
}

// Holds a storage's mutex in another thread until told to let go.
class Holder {
public:
    explicit Holder(CDataStorage* storage) : thread_([this, storage] { run(storage); }) {
        std::unique_lock<std::mutex> guard(gate_);
        changed_.wait(guard, [this] { return holding_; });
    }
    ~Holder() {
        release();
        thread_.join();
    }
    void release() {
        std::lock_guard<std::mutex> guard(gate_);
        released_ = true;
        changed_.notify_all();
    }
    bool locked() const { return locked_; }

private:
    void run(CDataStorage* storage) {
        locked_ = storage->lock();
        std::unique_lock<std::mutex> guard(gate_);
        holding_ = true;
        changed_.notify_all();
        changed_.wait(guard, [this] { return released_; });
        storage->unlock();
    }

    std::mutex gate_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool released_ = false;
    std::atomic<bool> locked_{false};
    std::thread thread_;
};

}  // namespace

TEST(Mutex, LockAndUnlockSilentlyWhenAllIsWell) {
    HostStorage host(StorageKind::Tracker);
    CaptureStdout capture;
    EXPECT_TRUE(host.storage()->lock());
    EXPECT_TRUE(host.storage()->unlock());
    EXPECT_TRUE(host.mutex().lock());
    EXPECT_TRUE(host.mutex().unlock());
    EXPECT_EQ(capture.finish(), "");
}

TEST(Mutex, FailuresPrintThePrefixThenTheSystemText) {
    HostStorage host(StorageKind::Tracker);
    host.plainPrefix();
    {
        CaptureStdout capture;
        EXPECT_FALSE(host.mutex().unlock());  // not held by this thread
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
        const std::string text = platform::systemMessage(ERROR_NOT_OWNER);
        expectRealText(text);
        EXPECT_EQ(capture.finish(), kError + "CMutexH: Unlocking mutex: " + text + "\n");
    }
    CMutexH broken = host.mutex();
    broken.handle = nullptr;
    {
        CaptureStdout capture;
        EXPECT_FALSE(broken.lock());
        const std::string text = platform::systemMessage(ERROR_INVALID_HANDLE);
        expectRealText(text);
        EXPECT_FALSE(broken.unlock());
        EXPECT_EQ(capture.finish(), kError + "CMutexH: Locking mutex: " + text + "\n" + kError +
                                        "CMutexH: Unlocking mutex: " + text + "\n");
    }
    broken.logger = nullptr;
    {
        CaptureStdout capture;
        EXPECT_FALSE(broken.lock());
        EXPECT_FALSE(broken.unlock());
        EXPECT_EQ(capture.finish(), "");
    }
}

TEST(Mutex, WaitsHonourTheirLimitWhileAnotherThreadHoldsTheMutex) {
    HostStorage host(StorageKind::Tracker);
    {
        Holder holder(host.storage());
        ASSERT_TRUE(holder.locked());
        EXPECT_EQ(WaitForSingleObject(host.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(WaitForSingleObject(host.handle(), 20), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_FALSE(ReleaseMutex(host.handle()));
        holder.release();
    }
    EXPECT_EQ(WaitForSingleObject(host.handle(), INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(ReleaseMutex(host.handle()));
}

TEST(Mutex, MutexLeftByADeadThreadIsReportedThenUsable) {
    HostStorage host(StorageKind::Tracker);
    host.plainPrefix();
    CDataStorage* storage = host.storage();
    bool lockedInThread = false;
    std::thread([&] { lockedInThread = storage->lock(); }).join();  // ends holding the mutex
    ASSERT_TRUE(lockedInThread);

    CaptureStdout capture;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(storage->lock());
    const std::string text = platform::systemMessage(ERROR_SEM_OWNER_DIED);
    expectRealText(text);
    EXPECT_EQ(capture.finish(), kError + "CMutexH: Locking mutex: " + text + "\n");

    // The failed lock still made this thread the owner, as the callers assume.
    EXPECT_TRUE(storage->unlock());
    EXPECT_TRUE(storage->lock());
    EXPECT_TRUE(storage->unlock());
    bool lockedElsewhere = false;
    std::thread([&] {
        lockedElsewhere = storage->lock();
        if (lockedElsewhere) lockedElsewhere = storage->unlock();
    }).join();
    EXPECT_TRUE(lockedElsewhere);
}

namespace {

constexpr uint32_t kSlots = 4;
constexpr uint32_t kWrites = 20000;
constexpr uint32_t kReaderPasses = 5000;

// Every field that the test can see is derived from one value, so a mix of two writes shows.
TrackerRecord recordOf(uint32_t slot, uint32_t value) {
    TrackerRecord record;
    record.setId(slot);
    const uint32_t net = htonl(value);
    record.timeSec = net;
    record.timeUsec = net;
    int32_t field = 0;
    std::memcpy(&field, &net, sizeof field);
    record.x = record.y = record.z = field;
    record.azimuth = record.elevation = record.roll = field;
    record.clock.seconds = static_cast<int32_t>(value);
    return record;
}

bool whole(const TrackerRecord& record, uint32_t slot) {
    const TrackerRecord expected = record.id == 0 ? TrackerRecord() : recordOf(slot, ntohl(record.timeSec));
    return std::memcmp(&record, &expected, sizeof expected) == 0;
}

// Copies in two halves with a yield between them: a missing lock would let the halves mix.
void copyRecord(void* to, const void* from) {
    const size_t half = sizeof(TrackerRecord) / 2;
    std::memcpy(to, from, half);
    std::this_thread::yield();
    std::memcpy(static_cast<char*>(to) + half, static_cast<const char*>(from) + half, sizeof(TrackerRecord) - half);
}

}  // namespace

TEST(Mutex, PublishersAndAReaderNeverSeeATornRecord) {
    HostStorage host(StorageKind::Tracker);
    CDataStorage* storage = host.storage();
    ASSERT_TRUE(storage->setTrackerNumber(kSlots));

    std::atomic<uint32_t> missing{0};
    auto writer = [&](uint32_t base) {
        for (uint32_t i = 0; i < kWrites; ++i) {
            const uint32_t slot = 1 + i % kSlots;
            const TrackerRecord record = recordOf(slot, base + i);
            storage->lock();
            TrackerRecord* target = storage->getTrackerData(slot);
            if (target != nullptr) {
                copyRecord(target, &record);
            } else {
                ++missing;
            }
            storage->unlock();
        }
    };
    uint32_t torn = 0;
    uint32_t seen = 0;
    auto reader = [&] {
        for (uint32_t pass = 0; pass < kReaderPasses; ++pass) {
            for (uint32_t slot = 1; slot <= kSlots; ++slot) {
                TrackerRecord copy;
                storage->lock();
                copyRecord(&copy, storage->getTrackerData(slot));
                storage->unlock();
                if (copy.id != 0) ++seen;
                if (!whole(copy, slot)) ++torn;
            }
        }
    };
    {
        std::thread first(writer, 1000000u);
        std::thread second(writer, 2000000u);
        std::thread third(reader);
        first.join();
        second.join();
        third.join();
    }
    EXPECT_EQ(torn, 0u) << "of " << seen << " records read";
    EXPECT_EQ(missing.load(), 0u);
    // After both writers, every slot holds one whole record from one of them.
    for (uint32_t slot = 1; slot <= kSlots; ++slot) {
        const TrackerRecord& last = host.trackers()[slot - 1];
        EXPECT_TRUE(whole(last, slot)) << slot;
        const uint32_t value = ntohl(last.timeSec);
        EXPECT_TRUE((value >= 1000000u && value < 1000000u + kWrites) ||
                    (value >= 2000000u && value < 2000000u + kWrites))
            << value;
    }
}
