// The module loaded as a host loads it: create, drive every small operation, delete.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "fastrak/fastrak.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"
#include "support/ModuleLoader.h"

using testsupport::CaptureStdout;
using testsupport::ConfigBuilder;
using testsupport::ModuleLoader;
using testsupport::splitLines;

namespace {

class DeviceLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module.loaded()) << module.error();
        ASSERT_NE(module.createDev(), nullptr);
        ASSERT_NE(module.deleteDev(), nullptr);
    }

    // A host record with every DEBUG line on and no date, time or thread id, so lines compare exactly.
    static Logger hostLogger(const char* name) {
        Logger logger;
        logger.setDefaults();
        logger.setName(name);
        logger.showDate = logger.showTime = logger.showThreadId = 0;
        logger.debugLevel = 1;
        logger.objectDebugLevel = 7;
        return logger;
    }

    ModuleLoader module{FASTRAK_MODULE_PATH};
    ConfigBuilder config;
};

}  // namespace

TEST_F(DeviceLifecycle, HostLoggerKeepsItsNameAndEveryOperationAnswers) {
    Logger host = hostLogger("LabTracker");
    CaptureStdout capture;
    CBase* device = module.createDev()(config.get(), &host);
    ASSERT_NE(device, nullptr);
    std::memset(&host, 0, sizeof host);  // the device took a copy; the host may reuse its record
    EXPECT_TRUE(device->start());
    EXPECT_EQ(device->configure(), 1);
    EXPECT_TRUE(device->stop());
    EXPECT_EQ(device->sendData(nullptr, 99), -1);
    EXPECT_TRUE(module.deleteDev()(device));
    const auto lines = splitLines(capture.finish());
    const std::vector<std::string> expected = {
        "LabTracker: DEBUG: CFastrak: \"constructor\" called.",  "LabTracker: DEBUG: CFastrak: \"start\" called.",
        "LabTracker: DEBUG: CFastrak: \"configure\" called.",    "LabTracker: DEBUG: CFastrak: \"stop\" called.",
        "LabTracker: WARNING: CFastrak: Can not send any data.", "LabTracker: DEBUG: CFastrak: \"destructor\" called.",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(DeviceLifecycle, ObjectDebugLevelIsOneWhateverTheHostSet) {
    // Threshold above 1 and host level 1: DEBUG lines pass only through the object level of 1.
    Logger host = hostLogger("LabTracker");
    host.debugThreshold = 5;
    host.objectDebugLevel = 4;
    CaptureStdout capture;
    CBase* device = module.createDev()(config.get(), &host);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->start());
    EXPECT_TRUE(module.deleteDev()(device));
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "LabTracker: DEBUG: CFastrak: \"start\" called.");

    // At level 3 with the same threshold the device (object level 1) stays silent.
    host.debugLevel = 3;
    CaptureStdout quiet;
    device = module.createDev()(config.get(), &host);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->start());
    EXPECT_TRUE(module.deleteDev()(device));
    EXPECT_EQ(quiet.finish(), "");
}

TEST_F(DeviceLifecycle, WithoutHostLoggerTheDeviceLogsAsCFastrakWithDefaults) {
    CaptureStdout capture;
    CBase* device = module.createDev()(config.get(), nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->start());  // DEBUG is off by default: no line
    EXPECT_EQ(device->configure(), 1);
    EXPECT_TRUE(device->stop());  // nothing was opened: nothing to stop
    EXPECT_EQ(device->sendData(nullptr, 0), -1);
    EXPECT_TRUE(module.deleteDev()(device));
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 1u);
    // Default prefix: month, day, time, name, thread id.
    EXPECT_TRUE(lines[0].find(" CFastrak[") != std::string::npos) << lines[0];
    const std::string tail = "]: WARNING: CFastrak: Can not send any data.";
    ASSERT_GE(lines[0].size(), tail.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail);
}

TEST_F(DeviceLifecycle, DeleteDevOfNullIsRefused) {
    CaptureStdout capture;
    EXPECT_FALSE(module.deleteDev()(nullptr));
    EXPECT_EQ(capture.finish(), "");
}

TEST_F(DeviceLifecycle, ManyDevicesLiveSideBySide) {
    Logger host = hostLogger("A");
    host.debugLevel = 0;
    CBase* first = module.createDev()(config.get(), &host);
    CBase* second = module.createDev()(config.get(), nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_TRUE(module.deleteDev()(second));
    EXPECT_TRUE(module.deleteDev()(first));
}
