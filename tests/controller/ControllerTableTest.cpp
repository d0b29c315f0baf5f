// The controller table, the stylus table of the device and the stylus-to-record mapping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "controller/ControllerFixture.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"

using controllertest::plainLogger;
using testsupport::CaptureStdout;
using testsupport::splitLines;

namespace {

// A 32-bit field of the record in network order, read byte by byte.
uint32_t netWord(const ControllerRecord& record, size_t offset) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record) + offset;
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

uint8_t byteAt(const ControllerRecord& record, size_t offset) {
    return reinterpret_cast<const unsigned char*>(&record)[offset];
}

const float kNoValues[6] = {0, 0, 0, 0, 0, 0};
const uint32_t kNoValuators[6] = {0, 0, 0, 0, 0, 0};

}  // namespace

TEST(ControllerLogger, FreshOrCopiedRecordWithItsOwnDebugLevel) {
    CConCommonH fresh(nullptr);
    ASSERT_NE(fresh.logger, nullptr);
    EXPECT_STREQ(fresh.logger->name, "CConCommonH");
    EXPECT_EQ(fresh.logger->objectDebugLevel, 3);
    EXPECT_EQ(fresh.logger->debugLevel, 0);
    EXPECT_TRUE(fresh.ownsLogger);
    EXPECT_EQ(fresh.controllerCount, 0u);
    EXPECT_FALSE(fresh.controllers);
    EXPECT_TRUE(fresh.inputConnector);
    EXPECT_TRUE(fresh.limitToDeclared);
    EXPECT_EQ(fresh.numControllers, 0u);
    EXPECT_EQ(fresh.outputBase, 0u);

    // The controller's level selects its trace even below the host's threshold.
    Logger host = plainLogger();
    host.debugThreshold = 5;
    host.debugLevel = 3;
    CaptureStdout capture;
    {
        CConCommonH processor(&host);
        EXPECT_STREQ(processor.logger->name, "CFastrak");
        EXPECT_NE(processor.logger, &host);
        host.debugLevel = 0;  // the processor keeps its own copy
    }
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "CFastrak: DEBUG: CConCommonH: \"constructor\" called.");
    EXPECT_EQ(lines[1], "CFastrak: DEBUG: CConCommonH: \"destructor\" called.");
}

TEST(ControllerTable, CreateFillsDefaultsAndReplacesAnOldTable) {
    CConCommonH processor(nullptr);
    EXPECT_FALSE(processor.createTable(0, true));
    EXPECT_FALSE(processor.freeTable());

    ASSERT_TRUE(processor.createTable(2, false));
    EXPECT_EQ(processor.controllerCount, 2u);
    EXPECT_FALSE(processor.limitToDeclared);
    const ControllerSetup& last = processor.controllers[1];
    EXPECT_EQ(last.outputId + last.buttonCount + last.valuatorCount, 0u);
    EXPECT_EQ(last.buttonOrder[31] + last.valuatorOrder[31], 0u);
    EXPECT_EQ(last.valuatorScale[31][2], 1.0f);  // identity scale
    EXPECT_EQ(last.valuatorScale[31][0] + last.valuatorScale[31][1] + last.valuatorScale[31][3], 0.0f);
    ASSERT_TRUE(processor.setEmulation(2, 0, kNoValues, kNoValuators, 0));

    // Count 0 keeps the table; a new table drops the old one with its emulation (a leak shows under ASan).
    EXPECT_FALSE(processor.createTable(0, true));
    EXPECT_EQ(processor.controllerCount, 2u);
    EXPECT_TRUE(processor.controllers[1].emulation);
    ASSERT_TRUE(processor.createTable(1, true));
    EXPECT_EQ(processor.controllerCount, 1u);
    EXPECT_TRUE(processor.limitToDeclared);
    EXPECT_FALSE(processor.controllers[0].emulation);

    EXPECT_FALSE(processor.createTable(33, true));  // no table needs more entries than output numbers
    EXPECT_EQ(processor.controllerCount, 1u);

    EXPECT_TRUE(processor.freeTable());
    EXPECT_EQ(processor.controllerCount, 0u);
    EXPECT_FALSE(processor.controllers);
    EXPECT_FALSE(processor.freeTable());
}

TEST(ControllerTable, SetControllerChecksIndexAndCounts) {
    CConCommonH processor(nullptr);
    EXPECT_FALSE(processor.setController(1, 1, 0, 1));  // no table
    ASSERT_TRUE(processor.createTable(1, true));
    EXPECT_FALSE(processor.setController(0, 1, 0, 1));
    EXPECT_FALSE(processor.setController(2, 1, 0, 1));
    EXPECT_FALSE(processor.setController(1, 1, 33, 0));
    EXPECT_FALSE(processor.setController(1, 1, 0, 33));
    EXPECT_EQ(processor.controllers[0].outputId, 0u);
    EXPECT_EQ(processor.controllers[0].buttonOrder[0], 0u);

    processor.controllers[0].valuatorScale[1][2] = 5.0f;
    processor.controllers[0].buttonOrder[3] = 9;
    ASSERT_TRUE(processor.setController(1, 7, 2, 3));
    const ControllerSetup& setup = processor.controllers[0];
    EXPECT_EQ(setup.outputId, 7u);
    EXPECT_EQ(setup.valuatorCount, 2u);
    EXPECT_EQ(setup.buttonCount, 3u);
    EXPECT_EQ(setup.valuatorOrder[0], 1u);
    EXPECT_EQ(setup.valuatorOrder[1], 2u);
    EXPECT_EQ(setup.valuatorScale[1][2], 1.0f);  // reset to the identity
    EXPECT_EQ(setup.buttonOrder[2], 3u);
    EXPECT_EQ(setup.buttonOrder[3], 9u);  // beyond the count: kept
}

TEST(ControllerTable, SetEmulationTwiceOverwritesInPlace) {
    CConCommonH processor(nullptr);
    EXPECT_FALSE(processor.setEmulation(1, 0, kNoValues, kNoValuators, 0));
    ASSERT_TRUE(processor.createTable(1, true));
    EXPECT_FALSE(processor.setEmulation(2, 0, kNoValues, kNoValuators, 0));
    const float first[6] = {1, 2, 3, 4, 5, 6};
    const float second[6] = {-1, -2, -3, -4, -5, -6};
    const uint32_t valuators[6] = {1, 0, 2, 0, 0, 3};
    ASSERT_TRUE(processor.setEmulation(1, 4, first, kNoValuators, 1));
    const TrackerEmulation* kept = processor.controllers[0].emulation.get();
    ASSERT_TRUE(processor.setEmulation(1, 5, second, valuators, 2));
    ASSERT_EQ(processor.controllers[0].emulation.get(), kept);
    EXPECT_EQ(kept->trackerId, 5u);
    EXPECT_EQ(kept->initialValues[0], -1.0f);
    EXPECT_EQ(kept->initialValues[5], -6.0f);
    EXPECT_EQ(kept->valuatorAssign[2], 2u);
    EXPECT_EQ(kept->valuatorAssign[5], 3u);
    EXPECT_EQ(kept->resetButton, 2u);
}

TEST(StylusTable, OneEntryPerStationUpToTheHighestStylus) {
    const bool none[4] = {false, false, false, false};
    const bool first[4] = {true, false, false, false};
    const bool secondAndFourth[4] = {false, true, false, true};

    CConCommonH processor(nullptr);
    processor.numControllers = 1;
    EXPECT_EQ(processor.setupStylusTable(none), 0u);
    EXPECT_FALSE(processor.controllers);

    // Station 1 alone: the single entry that the summary and the options know.
    EXPECT_EQ(processor.setupStylusTable(first), 1u);
    ASSERT_EQ(processor.controllerCount, 1u);
    EXPECT_TRUE(processor.limitToDeclared);
    EXPECT_EQ(processor.controllers[0].outputId, 1u);
    EXPECT_EQ(processor.controllers[0].buttonCount, 1u);
    EXPECT_EQ(processor.controllers[0].valuatorCount, 0u);
    EXPECT_EQ(processor.controllers[0].buttonOrder[0], 1u);
    EXPECT_EQ(processor.numControllers, 1u);

    // Styluses on stations 2 and 4 each get the entry numbered by their station.
    EXPECT_EQ(processor.setupStylusTable(secondAndFourth), 2u);
    ASSERT_EQ(processor.controllerCount, 4u);
    EXPECT_EQ(processor.controllers[0].outputId, 0u);
    EXPECT_EQ(processor.controllers[1].outputId, 1u);
    EXPECT_EQ(processor.controllers[2].outputId, 0u);
    EXPECT_EQ(processor.controllers[3].outputId, 2u);
    EXPECT_EQ(processor.controllers[3].buttonCount, 1u);
    EXPECT_EQ(processor.numControllers, 2u);  // the claim must cover both output ids

    processor.outputBase = 3;
    EXPECT_EQ(processor.stylusOutputNumber(1), 0u);
    EXPECT_EQ(processor.stylusOutputNumber(2), 4u);
    EXPECT_EQ(processor.stylusOutputNumber(3), 0u);
    EXPECT_EQ(processor.stylusOutputNumber(4), 5u);
    EXPECT_EQ(processor.stylusOutputNumber(0), 0u);
    EXPECT_EQ(processor.stylusOutputNumber(5), 0u);
}

TEST(StylusMapping, OneButtonStylusPressedAndReleased) {
    CConCommonH processor(nullptr);
    controllertest::setUpStylusOnStationOne(processor);
    processor.outputBase = 2;

    ControllerRecord record;
    ASSERT_TRUE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(netWord(record, 0), 3u);    // id = outputBase + 1
    EXPECT_EQ(netWord(record, 20), 0u);   // numValuators
    EXPECT_EQ(netWord(record, 24), 1u);   // numButtons
    EXPECT_EQ(netWord(record, 28), 36u);  // valuatorOffset
    EXPECT_EQ(netWord(record, 32), 36u);  // buttonOffset
    EXPECT_EQ(byteAt(record, 164), 0x01);
    EXPECT_NE(record.timeSec, 0u);

    ASSERT_TRUE(processor.fillStylusRecord(1, false, record));
    EXPECT_EQ(byteAt(record, 164), 0x00);
    EXPECT_EQ(netWord(record, 24), 1u);
}

TEST(StylusMapping, ButtonCountZeroPublishesButtonOne) {
    CConCommonH processor(nullptr);
    controllertest::setUpStylusOnStationOne(processor);
    processor.controllers[0].buttonCount = 0;
    processor.controllers[0].buttonOrder[0] = 0;

    ControllerRecord record;
    ASSERT_TRUE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(netWord(record, 0), 1u);
    EXPECT_EQ(netWord(record, 24), 1u);
    EXPECT_EQ(netWord(record, 32), 36u);
    EXPECT_EQ(byteAt(record, 164), 0x01);
}

TEST(StylusMapping, ButtonOrderPlacesTheStylusButton) {
    CConCommonH processor(nullptr);
    controllertest::setUpStylusOnStationOne(processor);
    ControllerSetup& setup = processor.controllers[0];
    setup.buttonCount = 3;
    setup.buttonOrder[0] = 2;

    ControllerRecord record;
    ASSERT_TRUE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(netWord(record, 24), 3u);
    EXPECT_EQ(byteAt(record, 164), 0x02);
    ASSERT_TRUE(processor.fillStylusRecord(1, false, record));
    EXPECT_EQ(byteAt(record, 164), 0x00);

    // An unmapped stylus button: every button cleared, none set.
    setup.buttonCount = 1;
    setup.buttonOrder[0] = 0;
    ASSERT_TRUE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(netWord(record, 24), 1u);
    EXPECT_EQ(byteAt(record, 164), 0x00);
}

TEST(StylusMapping, ButtonPlacedBeyondTheRealCountIsStillPublished) {
    // "buttonorder 1 0 1": one real button, published as output button 2.
    CConCommonH processor(nullptr);
    controllertest::setUpStylusOnStationOne(processor);
    testsupport::ConfigBuilder config;
    config.add(4, "buttonorder", {"1", "0", "1"});
    ASSERT_TRUE(processor.parseOptions(config.get()));
    ASSERT_EQ(processor.controllers[0].buttonCount, 1u);
    ASSERT_EQ(processor.controllers[0].buttonOrder[0], 2u);

    ControllerRecord record;
    ASSERT_TRUE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(netWord(record, 24), 2u);
    EXPECT_EQ(byteAt(record, 164), 0x02);
}

TEST(StylusMapping, ReusedRecordCarriesNoBitsOfAnotherStation) {
    const bool stations[4] = {true, true, false, false};
    CConCommonH processor(nullptr);
    processor.setupStylusTable(stations);
    processor.controllers[0].buttonCount = 8;
    processor.controllers[0].buttonOrder[0] = 8;

    ControllerRecord record;
    ASSERT_TRUE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(byteAt(record, 164), 0x80);
    ASSERT_TRUE(processor.fillStylusRecord(2, false, record));
    EXPECT_EQ(netWord(record, 0), 2u);
    EXPECT_EQ(netWord(record, 24), 1u);
    EXPECT_EQ(byteAt(record, 164), 0x00);

    // Equal readings compare equal, so an unchanged stylus is not published again.
    ControllerRecord again;
    ASSERT_TRUE(processor.fillStylusRecord(2, false, again));
    EXPECT_TRUE(ControllerRecord::isEqual(record, again));
}

TEST(StylusMapping, StationsWithoutOutputProduceNoRecord) {
    CConCommonH processor(nullptr);
    ControllerRecord record;
    EXPECT_FALSE(processor.fillStylusRecord(1, true, record));  // no table

    controllertest::setUpStylusOnStationOne(processor);
    record.reserved1 = 0xABABABABu;
    record.buttons[0] = 0xAB;
    const ControllerRecord untouched = record;
    EXPECT_FALSE(processor.fillStylusRecord(2, true, record));  // no entry for station 2
    EXPECT_FALSE(processor.fillStylusRecord(0, true, record));
    EXPECT_FALSE(processor.fillStylusRecord(5, true, record));

    processor.outputBase = 32;  // output number 33 does not exist
    EXPECT_EQ(processor.stylusOutputNumber(1), 33u);
    EXPECT_FALSE(processor.fillStylusRecord(1, true, record));
    processor.outputBase = 31;
    processor.controllers[0].outputId = 0;  // left out of the controller order
    EXPECT_EQ(processor.stylusOutputNumber(1), 0u);
    EXPECT_FALSE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(std::memcmp(&record, &untouched, sizeof record), 0);  // not even the time stamp

    processor.controllers[0].outputId = 1;
    ASSERT_TRUE(processor.fillStylusRecord(1, true, record));
    EXPECT_EQ(netWord(record, 0), 32u);

    processor.outputBase = 0xFFFFFFFFu;  // the sum wraps: no output number
    EXPECT_EQ(processor.stylusOutputNumber(1), 0u);
}
