// The controller option lines: their effects, their diagnostics and the used marks.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "controller/ControllerFixture.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"

using controllertest::plainLogger;
using testsupport::CaptureStdout;
using testsupport::ConfigBuilder;
using testsupport::splitLines;

namespace {

const std::string kError = "CFastrak: ERROR: ";

struct Pass {
    bool result;
    std::vector<std::string> lines;
};

// Runs parseOptions and returns its result and the lines it wrote.
Pass parse(CConCommonH& processor, ConfigBuilder& config) {
    CaptureStdout capture;
    const bool result = processor.parseOptions(config.get());
    return {result, splitLines(capture.finish())};
}

// One failing line: false, exactly this diagnostic, the line left unmarked.
void expectRejected(CConCommonH& processor, const std::string& keyword, std::initializer_list<std::string> args,
                    const std::string& diagnostic) {
    ConfigBuilder config;
    const uint32_t index = config.add(12, keyword, args);
    const Pass pass = parse(processor, config);
    EXPECT_FALSE(pass.result) << diagnostic;
    ASSERT_EQ(pass.lines.size(), 1u) << diagnostic;
    EXPECT_EQ(pass.lines[0], kError + diagnostic);
    EXPECT_EQ(config.line(index).used, 0) << diagnostic;
}

void expectAccepted(CConCommonH& processor, const std::string& keyword, std::initializer_list<std::string> args) {
    ConfigBuilder config;
    const uint32_t index = config.add(12, keyword, args);
    const Pass pass = parse(processor, config);
    EXPECT_TRUE(pass.result) << keyword;
    EXPECT_TRUE(pass.lines.empty()) << (pass.lines.empty() ? "" : pass.lines[0]);
    EXPECT_EQ(config.line(index).used, 1) << keyword;
}

class ControllerOptions : public ::testing::Test {
protected:
    ControllerOptions() : logger(plainLogger()), processor(&logger) {}

    // A controller with declared valuators and buttons, for the rules the stylus cannot show.
    void useRichController(uint32_t valuators, uint32_t buttons, bool limit = true) {
        ASSERT_TRUE(processor.createTable(2, limit));
        ASSERT_TRUE(processor.setController(1, 1, valuators, buttons));
        ASSERT_TRUE(processor.setController(2, 2, 0, 1));
    }

    Logger logger;
    CConCommonH processor;
};

}  // namespace

TEST_F(ControllerOptions, NoTableOrNoRecordFails) {
    ConfigBuilder config;
    Pass pass = parse(processor, config);
    EXPECT_FALSE(pass.result);
    ASSERT_EQ(pass.lines.size(), 1u);
    EXPECT_EQ(pass.lines[0], kError + "CConCommonH: lookup Null");

    controllertest::setUpStylusOnStationOne(processor);
    CaptureStdout capture;
    EXPECT_FALSE(processor.parseOptions(nullptr));
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], kError + "CConCommonH: config empty");
}

TEST_F(ControllerOptions, OtherKeywordsAreLeftAloneAndOrderBelongsToTheTracker) {
    controllertest::setUpStylusOnStationOne(processor);
    ConfigBuilder config;
    config.add(1, "baud", {"9600"});
    config.add(2, "order", {"1"});
    config.add(3, "ControllerOrder", {"1"});
    config.add(4, "unitorder", {"7"});
    const Pass pass = parse(processor, config);
    EXPECT_TRUE(pass.result);
    EXPECT_TRUE(pass.lines.empty());
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(config.line(i).used, 0) << i;
    EXPECT_EQ(processor.controllers[0].outputId, 1u);
    EXPECT_EQ(processor.controllers[0].buttonOrder[0], 1u);
}

TEST_F(ControllerOptions, StylusButtonOrder) {
    controllertest::setUpStylusOnStationOne(processor);
    expectAccepted(processor, "ButtonOrder", {"1", "1"});
    EXPECT_EQ(processor.controllers[0].buttonCount, 1u);
    EXPECT_EQ(processor.controllers[0].buttonOrder[0], 1u);

    expectRejected(processor, "buttonorder", {"1", "2"}, "Invalid ID found in Order option at line 12.");
    expectRejected(processor, "buttonorder", {"1", "abc"}, "Invalid arg found for Order at line 12.");
    expectRejected(processor, "buttonorder", {}, "Incomplete option line found for Order at line 12.");
    expectRejected(processor, "buttonorder", {"0"}, "Invalid controller ID found for Order option at line 12.");
    expectRejected(processor, "buttonorder", {"2", "1"}, "Invalid controller ID found for Order option at line 12.");
    expectRejected(processor, "buttonorder", {"-1", "1"}, "Invalid controller ID found for Order option at line 12.");
    expectRejected(processor, "buttonorder", {"1", "-1"}, "Invalid ID found in Order option at line 12.");
    EXPECT_EQ(processor.controllers[0].buttonCount, 1u);
    EXPECT_EQ(processor.controllers[0].buttonOrder[0], 1u);

    // A written zero (also "0x0") means no real item at that output: the count drops to 0.
    expectAccepted(processor, "buttonorder", {"1", "0x0"});
    EXPECT_EQ(processor.controllers[0].buttonCount, 0u);
    EXPECT_EQ(processor.controllers[0].buttonOrder[0], 0u);
    // With the count at 0 and the limit on, button 1 can no longer be named.
    expectRejected(processor, "buttonorder", {"1", "1"}, "Invalid ID found in Order option at line 12.");
}

TEST_F(ControllerOptions, OrderListsWithinTheDeclaredCount) {
    useRichController(4, 3);
    expectAccepted(processor, "buttonorder", {"1", "2", "1"});
    const ControllerSetup& first = processor.controllers[0];
    EXPECT_EQ(first.buttonCount, 2u);
    EXPECT_EQ(first.buttonOrder[0], 2u);  // real button 1 -> output 2
    EXPECT_EQ(first.buttonOrder[1], 1u);  // real button 2 -> output 1
    EXPECT_EQ(first.buttonOrder[2], 0u);  // real button 3 unmapped

    // The limit is the count the previous line left: 3 is now beyond it.
    expectRejected(processor, "buttonorder", {"1", "3"}, "Invalid ID found in Order option at line 12.");

    expectAccepted(processor, "valuatororder", {"1", "0", "4", "0", "2"});
    EXPECT_EQ(first.valuatorCount, 4u);
    EXPECT_EQ(first.valuatorOrder[3], 2u);
    EXPECT_EQ(first.valuatorOrder[1], 4u);
    EXPECT_EQ(first.valuatorOrder[0], 0u);
    EXPECT_EQ(first.valuatorOrder[2], 0u);

    expectRejected(processor, "valuatororder", {"1", "1", "3", "1"},
                   "Same ID found more than once in Order option at line 12.");
    expectRejected(processor, "valuatororder", {"1", "1", "x"}, "Invalid arg found for Order at line 12.");

    // Only the controller number: nothing published, count 0.
    expectAccepted(processor, "valuatororder", {"1"});
    EXPECT_EQ(first.valuatorCount, 0u);
    for (uint32_t r = 0; r < 32; ++r) EXPECT_EQ(first.valuatorOrder[r], 0u);
    // The second controller is untouched by all of it.
    EXPECT_EQ(processor.controllers[1].buttonOrder[0], 1u);
}

TEST_F(ControllerOptions, OrderLimitOffAllowsAllThirtyTwo) {
    useRichController(0, 1, false);
    expectAccepted(processor, "valuatororder", {"1", "32", "0", "0", "5"});
    EXPECT_EQ(processor.controllers[0].valuatorCount, 32u);
    EXPECT_EQ(processor.controllers[0].valuatorOrder[31], 1u);
    EXPECT_EQ(processor.controllers[0].valuatorOrder[4], 4u);
    expectRejected(processor, "buttonorder", {"1", "33"}, "Invalid ID found in Order option at line 12.");

    // Repeated zeros are fine; a repeated number is not, also when a zero stands between.
    expectAccepted(processor, "buttonorder", {"1", "0", "0", "7"});
    EXPECT_EQ(processor.controllers[0].buttonOrder[6], 3u);
    expectRejected(processor, "buttonorder", {"1", "7", "0", "0x7"},
                   "Same ID found more than once in Order option at line 12.");

    // A record holds 32 items: a 33rd output position is too many.
    std::vector<std::string> args{"1"};
    for (int i = 0; i < 33; ++i) args.push_back("0");
    ConfigBuilder config;
    OptionLine& line = config.line(config.add(40, "buttonorder"));
    for (std::string& text : args) line.args[line.argCount++] = &text[0];
    Pass pass = parse(processor, config);
    EXPECT_FALSE(pass.result);
    ASSERT_EQ(pass.lines.size(), 1u);
    EXPECT_EQ(pass.lines[0], kError + "Too many args found for Order at line 40.");
    line.argCount = 33;  // exactly 32 items
    pass = parse(processor, config);
    EXPECT_TRUE(pass.result);
    EXPECT_EQ(line.used, 1);
}

TEST_F(ControllerOptions, ValuatorScale) {
    useRichController(3, 1);
    expectAccepted(processor, "valuatorscale", {"1", "2.5", "all"});
    for (uint32_t v = 0; v < 32; ++v) {  // all 32 slots, beyond the count too
        EXPECT_EQ(processor.controllers[0].valuatorScale[v][0], 0.0f);
        EXPECT_EQ(processor.controllers[0].valuatorScale[v][2], 2.5f);
        EXPECT_EQ(processor.controllers[0].valuatorScale[v][3], 0.0f);
    }
    expectAccepted(processor, "VALUATORSCALE", {"1", "[1,-1,2,0.5]", "2", "3"});
    const float* second = processor.controllers[0].valuatorScale[1];
    EXPECT_EQ(second[0], 1.0f);
    EXPECT_EQ(second[1], -1.0f);
    EXPECT_EQ(second[2], 2.0f);
    EXPECT_EQ(second[3], 0.5f);
    EXPECT_EQ(processor.controllers[0].valuatorScale[2][3], 0.5f);
    EXPECT_EQ(processor.controllers[0].valuatorScale[0][0], 0.0f);

    // A partial bracket keeps the rest at 0; a written scalar zero is a valid scale.
    expectAccepted(processor, "valuatorscale", {"1", "[0,3]", "1"});
    EXPECT_EQ(processor.controllers[0].valuatorScale[0][1], 3.0f);
    EXPECT_EQ(processor.controllers[0].valuatorScale[0][2], 0.0f);
    expectAccepted(processor, "valuatorscale", {"1", "0", "3"});
    EXPECT_EQ(processor.controllers[0].valuatorScale[2][2], 0.0f);

    expectRejected(processor, "valuatorscale", {"1", "[0,0,0,0]", "1"},
                   "Incomplete option line found for ValuatorScale at line 12.");
    expectRejected(processor, "valuatorscale", {"1", "big", "1"}, "Invalid arg found for ValuatorScale at line 12.");
    expectRejected(processor, "valuatorscale", {"1", "2"},
                   "Incomplete option line found for ValuatorScale at line 12.");
    expectRejected(processor, "valuatorscale", {}, "Incomplete option line found for ValuatorScale at line 12.");
    expectRejected(processor, "valuatorscale", {"3", "2", "1"},
                   "Invalid controller ID found for ValuatorScale option at line 12.");
    // A bad valuator rejects the whole line: the valid one before it keeps its scale.
    expectRejected(processor, "valuatorscale", {"1", "9", "2", "4"},
                   "Invalid valuator ID found for ValuatorScale option at line 12.");
    EXPECT_EQ(processor.controllers[0].valuatorScale[1][2], 2.0f);
    expectRejected(processor, "valuatorscale", {"1", "9", "0"},
                   "Invalid valuator ID found for ValuatorScale option at line 12.");
    // The stylus has no valuators: only "all" reaches them.
    expectRejected(processor, "valuatorscale", {"2", "9", "1"},
                   "Invalid valuator ID found for ValuatorScale option at line 12.");
    expectAccepted(processor, "valuatorscale", {"2", "9", "ALL", "77"});
    EXPECT_EQ(processor.controllers[1].valuatorScale[31][2], 9.0f);
}

TEST_F(ControllerOptions, EmulateTracker) {
    useRichController(6, 2);
    expectAccepted(processor, "emulatetracker", {"1", "[1.5,2,3,10,20,30]", "1", "2", "3", "0", "5", "6", "2"});
    ASSERT_TRUE(processor.controllers[0].emulation);
    const TrackerEmulation& emulation = *processor.controllers[0].emulation;
    EXPECT_EQ(emulation.trackerId, 0u);
    EXPECT_EQ(emulation.initialValues[0], 1.5f);
    EXPECT_EQ(emulation.initialValues[5], 30.0f);
    EXPECT_EQ(emulation.valuatorAssign[0], 1u);
    EXPECT_EQ(emulation.valuatorAssign[3], 0u);
    EXPECT_EQ(emulation.valuatorAssign[5], 6u);
    EXPECT_EQ(emulation.resetButton, 2u);

    // Without brackets the values are all 0; eight arguments mean no reset button.
    expectAccepted(processor, "EmulateTracker", {"1", "1,2,3", "0", "0", "0", "0", "0", "0"});
    EXPECT_EQ(processor.controllers[0].emulation->initialValues[0], 0.0f);
    EXPECT_EQ(processor.controllers[0].emulation->resetButton, 0u);
    expectAccepted(processor, "emulatetracker", {"1", "[4,5]", "0", "0", "0", "0", "0", "0"});
    EXPECT_EQ(processor.controllers[0].emulation->initialValues[1], 5.0f);
    EXPECT_EQ(processor.controllers[0].emulation->initialValues[2], 0.0f);

    expectRejected(processor, "emulatetracker", {}, "Incomplete option line found for EmulateTracker at line 12.");
    expectRejected(processor, "emulatetracker", {"3"},
                   "Invalid controller ID found for EmulateTracker option at line 12.");
    expectRejected(processor, "emulatetracker", {"1"}, "Incomplete option line found for EmulateTracker at line 12.");
    expectRejected(processor, "emulatetracker", {"1", "[0]", "1", "2", "3", "4", "5"},
                   "Incomplete option line found for EmulateTracker at line 12.");
    expectRejected(processor, "emulatetracker", {"1", "[0]", "1", "2", "3", "4", "5", "6", "1", "1"},
                   "Too many args found for EmulateTracker at line 12.");
    expectRejected(processor, "emulatetracker", {"1", "[0]", "1", "2", "3", "4", "5", "7"},
                   "Invalid valuator ID found for EmulateTracker option at line 12.");
    expectRejected(processor, "emulatetracker", {"1", "[0]", "1", "2", "3", "4", "5", "6", "3"},
                   "Invalid button ID found for EmulateTracker option at line 12. Ignored.");
}

TEST_F(ControllerOptions, EmulateTrackerOnTheStylus) {
    controllertest::setUpStylusOnStationOne(processor);
    // The stylus has no valuators.
    expectRejected(processor, "emulatetracker", {"1", "[0]", "0", "0", "1", "0", "0", "0"},
                   "Invalid valuator ID found for EmulateTracker option at line 12.");
    // Reset button 0 on a nine-argument line: ". Ignored." and no emulation.
    expectRejected(processor, "emulatetracker", {"1", "[0]", "0", "0", "0", "0", "0", "0", "0"},
                   "Invalid button ID found for EmulateTracker option at line 12. Ignored.");
    EXPECT_FALSE(processor.controllers[0].emulation);
    expectAccepted(processor, "emulatetracker", {"1", "[0]", "0", "0", "0", "0", "0", "0", "1"});
    ASSERT_TRUE(processor.controllers[0].emulation);
    EXPECT_EQ(processor.controllers[0].emulation->resetButton, 1u);
}

TEST_F(ControllerOptions, ControllerOrderWithoutInputConnector) {
    useRichController(0, 1);
    processor.inputConnector = false;
    processor.numControllers = 2;
    expectAccepted(processor, "controllerorder", {"2", "1", "2"});  // third argument beyond numControllers
    EXPECT_EQ(processor.controllers[0].outputId, 2u);
    EXPECT_EQ(processor.controllers[1].outputId, 1u);

    expectAccepted(processor, "unitorder", {"1", "1"});  // named twice: keeps the later position
    EXPECT_EQ(processor.controllers[0].outputId, 2u);
    EXPECT_EQ(processor.controllers[1].outputId, 0u);

    expectRejected(processor, "order", {"1", "3"}, "Invalid controller ID found for Order option at line 12.");
    expectRejected(processor, "order", {"x"}, "Invalid controller ID found for Order option at line 12.");
    EXPECT_EQ(processor.controllers[0].outputId, 2u);

    expectAccepted(processor, "Order", {});  // an empty list unpublishes every controller
    EXPECT_EQ(processor.controllers[0].outputId, 0u);
    EXPECT_EQ(processor.controllers[1].outputId, 0u);
}

TEST_F(ControllerOptions, EveryLineIsReadAndOnlyAcceptedOnesAreMarked) {
    useRichController(2, 2);
    ConfigBuilder config;
    config.add(3, "buttonorder", {"1", "9"});
    config.add(5, "sensors", {"1", "1", "0", "0"});
    config.add(7, "buttonorder", {"1", "2", "1"});
    config.add(9, "valuatorscale", {"1", "x", "1"});
    config.add(11, "valuatorscale", {"1", "3", "1"});
    const Pass pass = parse(processor, config);
    EXPECT_FALSE(pass.result);
    ASSERT_EQ(pass.lines.size(), 2u);
    EXPECT_EQ(pass.lines[0], kError + "Invalid ID found in Order option at line 3.");
    EXPECT_EQ(pass.lines[1], kError + "Invalid arg found for ValuatorScale at line 9.");
    EXPECT_EQ(config.line(0).used, 0);
    EXPECT_EQ(config.line(1).used, 0);
    EXPECT_EQ(config.line(2).used, 1);
    EXPECT_EQ(config.line(3).used, 0);
    EXPECT_EQ(config.line(4).used, 1);
    // Lines after a failure still take effect.
    EXPECT_EQ(processor.controllers[0].buttonOrder[0], 2u);
    EXPECT_EQ(processor.controllers[0].valuatorScale[0][2], 3.0f);
}

TEST_F(ControllerOptions, LinesNameAStylusByItsStation) {
    // Styluses on stations 2 and 4: entries 2 and 4 take options, 1 and 3 are stations without one.
    const bool stations[CConCommonH::kStations] = {false, true, false, true};
    ASSERT_EQ(processor.setupStylusTable(stations), 2u);
    expectAccepted(processor, "buttonorder", {"2", "1"});
    expectAccepted(processor, "buttonorder", {"4", "1"});
    const std::string order = "Invalid controller ID found for Order option at line 12.";
    expectRejected(processor, "buttonorder", {"1", "1"}, order);
    expectRejected(processor, "buttonorder", {"3", "0"}, order);
    expectRejected(processor, "valuatororder", {"1"}, order);
    expectRejected(processor, "valuatorscale", {"3", "2", "all"},
                   "Invalid controller ID found for ValuatorScale option at line 12.");
    expectRejected(processor, "emulatetracker", {"1", "[0,0,0,0,0,0]", "0", "0", "0", "0", "0", "0"},
                   "Invalid controller ID found for EmulateTracker option at line 12.");
}
