// Logger: prefix forms, level lines, the DEBUG filter, open lines and bounded formatting.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fastrak/Logger.h"
#include "platform/win32.h"
#include "support/CaptureStdout.h"

using testsupport::CaptureStdout;

namespace {

Logger makeLogger(const char* name) {
    Logger logger;
    logger.setDefaults();
    logger.setName(name);
    return logger;
}

std::string threadTag() { return "[" + std::to_string(static_cast<unsigned long>(GetCurrentThreadId())) + "]"; }

}  // namespace

TEST(Logger, DefaultsMatchTheDocumentedRecord) {
    Logger logger;
    std::memset(&logger, 0x5A, sizeof logger);
    logger.setDefaults();
    EXPECT_EQ(logger.showDate, 1);
    EXPECT_EQ(logger.showTime, 1);
    EXPECT_EQ(logger.showThreadId, 1);
    EXPECT_EQ(logger.enabled, 1);
    EXPECT_STREQ(logger.name, "MESSAGE");
    EXPECT_STREQ(logger.infoLabel, "INFO");
    EXPECT_STREQ(logger.errorLabel, "ERROR");
    EXPECT_STREQ(logger.warningLabel, "WARNING");
    EXPECT_STREQ(logger.debugLabel, "DEBUG");
    EXPECT_EQ(logger.debugThreshold, 1);
    EXPECT_EQ(logger.debugLevel, 0);
    EXPECT_EQ(logger.objectDebugLevel, 0);
    // The bounded copy pads the rest of the field with zero bytes.
    for (size_t i = std::strlen("MESSAGE"); i < sizeof logger.name; ++i) ASSERT_EQ(logger.name[i], 0) << i;
}

TEST(Logger, PrefixForEveryCombinationOfDisplayFlags) {
    const std::string date = R"([A-Z][a-z]{2} \d{2} )";
    const std::string time = R"(\d{2}:\d{2}:\d{2} )";
    const std::string tid = std::regex_replace(threadTag(), std::regex(R"([\[\]])"), R"(\$&)");
    for (int flags = 0; flags < 8; ++flags) {
        Logger logger = makeLogger("Dev");
        logger.showDate = (flags & 1) != 0;
        logger.showTime = (flags & 2) != 0;
        logger.showThreadId = (flags & 4) != 0;
        CaptureStdout capture;
        logger.info("hello", true);
        const std::string text = capture.finish();
        std::string pattern = "^";
        if (logger.showDate) pattern += date;
        if (logger.showTime) pattern += time;
        pattern += "Dev";
        pattern += logger.showThreadId ? tid + ": " : ": ";
        pattern += "INFO: hello\n$";
        EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << "flags " << flags << ": [" << text << "]";
    }
}

TEST(Logger, LevelsUseTheirLabelsAndDisabledSilencesThemAll) {
    Logger logger = makeLogger("Dev");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    logger.debugLevel = 1;
    std::strcpy(logger.warningLabel, "WARN");
    {
        CaptureStdout capture;
        logger.info("i", true);
        logger.error("e", true);
        logger.warning("w", true);
        logger.debug("d", true);
        EXPECT_EQ(capture.finish(), "Dev: INFO: i\nDev: ERROR: e\nDev: WARN: w\nDev: DEBUG: d\n");
    }
    logger.enabled = 0;
    CaptureStdout capture;
    logger.info("i", true);
    logger.error("e", false);
    std::cout << "continuation" << std::endl;  // the caller's own text is not the Logger's to silence
    logger.warning("w", true);
    logger.debug("d", true);
    logger.debugFormat("f %d\n", 1);
    EXPECT_EQ(capture.finish(), "continuation\n");
}

TEST(Logger, EndLineFalseLeavesTheLineOpen) {
    Logger logger = makeLogger("Dev");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    CaptureStdout capture;
    logger.error("CConfigH: Unknown option \"", false);
    std::cout << "port\" found at line 7." << std::endl;
    EXPECT_EQ(capture.finish(), "Dev: ERROR: CConfigH: Unknown option \"port\" found at line 7.\n");
}

TEST(Logger, DebugFilterIsSignedAndHonoursObjectLevelAndThreshold) {
    struct Case {
        int32_t level, threshold, objectLevel;
        bool on;
    };
    const Case cases[] = {
        {0, 1, 0, false},  {0, 0, 0, false},   // level 0: never, even with everything else matching
        {0, -5, 0, false}, {1, 1, 1, true},    // defaults with level 1
        {3, 5, 3, true},   {3, 5, 1, false},   // threshold above: only the class whose level matches
        {-1, 1, 3, false}, {-1, 1, -1, true},  // negative level: signed comparison
        {5, 4, 3, true},   {2, 4, 1, false},
    };
    for (const Case& c : cases) {
        Logger logger = makeLogger("Dev");
        logger.showDate = logger.showTime = logger.showThreadId = 0;
        logger.debugLevel = c.level;
        logger.setDebugThreshold(c.threshold);
        logger.setObjectDebugLevel(c.objectLevel);
        EXPECT_EQ(logger.isDebugOn(), c.on) << c.level << " " << c.threshold << " " << c.objectLevel;
        CaptureStdout capture;
        logger.debug("trace", true);
        logger.debugFormat("fmt %s\n", "x");
        EXPECT_EQ(capture.finish(), c.on ? "Dev: DEBUG: trace\nDev: DEBUG: fmt x\n" : "")
            << c.level << " " << c.threshold << " " << c.objectLevel;
    }
}

TEST(Logger, IsDebugOnIgnoresTheEnabledSwitch) {
    Logger logger = makeLogger("Dev");
    logger.debugLevel = 1;
    logger.enabled = 0;
    EXPECT_TRUE(logger.isDebugOn());
}

TEST(Logger, DebugFormatCutsLongTextAndKeepsItsLineBreak) {
    Logger logger = makeLogger("CRS232H");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    logger.debugLevel = 1;
    const std::string name(255, 'p');
    CaptureStdout capture;
    logger.debugFormat("CRS232H: Opening %s.\n", name.c_str());
    const std::string text = capture.finish();
    const std::string prefix = "CRS232H: DEBUG: ";
    ASSERT_EQ(text.size(), prefix.size() + 255);  // 254 characters of text, then the line break
    EXPECT_EQ(text.substr(0, prefix.size() + 17), prefix + "CRS232H: Opening ");
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST(Logger, DebugFormatWithoutLineBreakLeavesTheLineOpen) {
    Logger logger = makeLogger("Dev");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    logger.debugLevel = 1;
    CaptureStdout capture;
    logger.debugFormat("value %d", 42);
    std::cout << " more" << std::endl;
    EXPECT_EQ(capture.finish(), "Dev: DEBUG: value 42 more\n");
}

TEST(Logger, NameFillingTheWholeFieldIsWrittenWithoutOverrun) {
    Logger logger = makeLogger("Dev");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    const std::string longName(150, 'n');
    logger.setName(longName.c_str());  // 100 bytes copied, no terminator left
    CaptureStdout capture;
    logger.info("x", true);
    EXPECT_EQ(capture.finish(), std::string(100, 'n') + ": INFO: x\n");
}

// Several devices' threads log at once: every line arrives whole, never with another inside it.
TEST(Logger, LinesOfManyThreadsArriveWhole) {
    CaptureStdout capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            Logger logger = makeLogger(("T" + std::to_string(t)).c_str());
            logger.debugLevel = 1;
            for (int i = 0; i < 500; ++i) {
                logger.warning("CFastrak: Damaged data on the line: 1 frame dropped.", true);
                logger.debugFormat("CRS232H: Opening %s.\n", "com1");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::regex whole(
        R"(\w{3} \d\d \S+ T\d\[\d+\]: (WARNING: CFastrak: Damaged data on the line: 1 frame dropped\.|DEBUG: CRS232H: Opening com1\.))");
    const std::vector<std::string> lines = testsupport::splitLines(capture.finish());
    EXPECT_EQ(lines.size(), 4000u);
    for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}
