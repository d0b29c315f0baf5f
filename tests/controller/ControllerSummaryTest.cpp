// The controller block of the device summary, compared line by line.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "controller/ControllerFixture.h"
#include "support/CaptureStdout.h"
#include "support/ConfigBuilder.h"

using controllertest::plainLogger;
using testsupport::CaptureStdout;
using testsupport::splitLines;

namespace {

const std::string kInfo = "CFastrak: INFO: ";
const std::string kMore = "CFastrak: INFO:                       :";
const std::string kOrderHeader = kInfo + "CONTROLLER ORDER      : <Real con> -> <Output con>";
const std::string kValuatorHeader = kInfo + "VALUATOR ORDER(SCALE) : <Real val> -> <Output val>";
const std::string kButtonHeader = kInfo + "BUTTON ORDER          : <Real but> -> <Output but>";

std::vector<std::string> summary(const CConCommonH& processor) {
    CaptureStdout capture;
    EXPECT_TRUE(processor.printControllerSummary());
    return splitLines(capture.finish());
}

void setScale(ControllerSetup& setup, uint32_t valuator, float a, float b, float c, float d) {
    float* scale = setup.valuatorScale[valuator - 1];
    scale[0] = a;
    scale[1] = b;
    scale[2] = c;
    scale[3] = d;
}

class ControllerSummary : public ::testing::Test {
protected:
    ControllerSummary() : logger(plainLogger()), processor(&logger) {}
    Logger logger;
    CConCommonH processor;
};

}  // namespace

TEST_F(ControllerSummary, NoTable) {
    const std::vector<std::string> expected{kOrderHeader, kMore};
    EXPECT_EQ(summary(processor), expected);
}

TEST_F(ControllerSummary, StylusOnStationOne) {
    controllertest::setUpStylusOnStationOne(processor);
    const std::vector<std::string> expected{kOrderHeader, kMore + " 1->1", kButtonHeader, kMore + " 1->1"};
    EXPECT_EQ(summary(processor), expected);

    // Registered after three other controllers; then the button order line sets the count to 0.
    processor.outputBase = 3;
    testsupport::ConfigBuilder config;
    config.add(2, "buttonorder", {"1", "0"});
    ASSERT_TRUE(processor.parseOptions(config.get()));
    const std::vector<std::string> withoutButtons{kOrderHeader, kMore + " 1->4"};
    EXPECT_EQ(summary(processor), withoutButtons);

    // The sum is a 32-bit output number, as in the tracker summary.
    processor.outputBase = UINT32_MAX;
    const std::vector<std::string> wrapped{kOrderHeader, kMore + " 1->0"};
    EXPECT_EQ(summary(processor), wrapped);
}

TEST_F(ControllerSummary, EmulationOfTheOnlyEntry) {
    controllertest::setUpStylusOnStationOne(processor);
    const float values[6] = {1.5f, -2.0f, 0.1f, 90.0f, 1234567.0f, -0.25f};
    const uint32_t valuators[6] = {0, 3, 0, 0, 1, 0};
    ASSERT_TRUE(processor.setEmulation(1, 0, values, valuators, 1));
    const std::vector<std::string> expected{
        kOrderHeader,
        kMore + " 1->1",
        kButtonHeader,
        kMore + " 1->1",
        kInfo + "TRACKER EMULATION     : As tracker[0]",
        kMore + " Init Values: X=1.5 Y=-2 Z=0.1",
        kMore + " Init Values: Azim=90 Elev=1.23457e+06 Roll=-0.25",
        kMore + " Val Assign : 3->Y 1->Elev",
        kMore + " Reset But  : 1",
    };
    EXPECT_EQ(summary(processor), expected);

    // No reset button: no reset line.
    ASSERT_TRUE(processor.setEmulation(1, 0, values, valuators, 0));
    const auto lines = summary(processor);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.back(), kMore + " Val Assign : 3->Y 1->Elev");
}

TEST_F(ControllerSummary, TwoEntriesCarryEntryMarks) {
    ASSERT_TRUE(processor.createTable(3, true));
    ASSERT_TRUE(processor.setController(1, 2, 2, 1));
    ASSERT_TRUE(processor.setController(2, 0, 1, 1));  // no output: left out everywhere
    ASSERT_TRUE(processor.setController(3, 1, 0, 2));
    processor.outputBase = 5;
    processor.controllers[2].buttonOrder[0] = 2;
    processor.controllers[2].buttonOrder[1] = 1;
    setScale(processor.controllers[0], 2, 0, 0, 0.5f, 0);
    const float values[6] = {0, 0, 0, 0, 0, 0};
    const uint32_t none[6] = {0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(processor.setEmulation(3, 7, values, none, 2));
    ASSERT_TRUE(processor.setEmulation(2, 1, values, none, 0));

    const std::vector<std::string> expected{
        kOrderHeader,
        kMore + " 1->7 3->6",
        kValuatorHeader,
        kMore + " 1: 1->1(1X) 2->2(0.5X)",
        kButtonHeader,
        kMore + " 1: 1->1",
        kButtonHeader,
        kMore + " 3: 1->2 2->1",
        kInfo + "TRACKER EMULATION     : 3->tracker[7]",
        kMore + " 3: Init Values: X=0 Y=0 Z=0",
        kMore + " 3: Init Values: Azim=0 Elev=0 Roll=0",
        kMore + " 3: Val Assign :",
        kMore + " 3: Reset But  : 2",
    };
    EXPECT_EQ(summary(processor), expected);
}

TEST_F(ControllerSummary, ScalePolynomials) {
    ASSERT_TRUE(processor.createTable(1, false));
    ASSERT_TRUE(processor.setController(1, 1, 8, 0));
    ControllerSetup& setup = processor.controllers[0];
    setScale(setup, 1, 1, -1, 2, 0);  // the sum is 0 before the linear term: it still gets its "+"
    setScale(setup, 2, 0, 0, 1, 0);   // identity
    setScale(setup, 3, 0, 0, 0, 0);
    setScale(setup, 4, 0, 0, 1, -1);
    setScale(setup, 5, -2, 0, 0, 3.5f);
    setScale(setup, 6, 0, 0.25f, 0, 0);
    setScale(setup, 7, 0, 0, -1, 1);  // a positive term after a negative one
    setScale(setup, 8, 1, 0, 0, 0.001f);
    const std::vector<std::string> expected{
        kOrderHeader,
        kMore + " 1->1",
        kValuatorHeader,
        kMore +
            " 1->1(1X^3-1X^2+2X) 2->2(1X) 3->3() 4->4(1X-1) 5->5(-2X^3+3.5) 6->6(0.25X^2)"
            " 7->7(-1X+1) 8->8(1X^3+0.001)",
    };
    EXPECT_EQ(summary(processor), expected);
}

TEST_F(ControllerSummary, RealsIgnoreAndKeepTheStreamSettingsOfEarlierPrintouts) {
    ASSERT_TRUE(processor.createTable(1, true));
    ASSERT_TRUE(processor.setController(1, 1, 1, 0));
    setScale(processor.controllers[0], 1, 0, 0, 2.5f, 0);

    // The tracker block before this one leaves fixed notation with 3 decimals set.
    std::cout << std::fixed;
    std::cout.precision(3);
    const auto lines = summary(processor);
    const bool stillFixed = (std::cout.flags() & std::ios_base::floatfield) == std::ios_base::fixed;
    const std::streamsize precision = std::cout.precision();
    std::cout.unsetf(std::ios_base::floatfield);
    std::cout.precision(6);

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], kMore + " 1->1(2.5X)");
    EXPECT_TRUE(stillFixed);
    EXPECT_EQ(precision, 3);
}

TEST_F(ControllerSummary, DisabledLoggerStillWritesTheContinuations) {
    Logger quiet = plainLogger();
    quiet.enabled = 0;
    CConCommonH silent(&quiet);
    controllertest::setUpStylusOnStationOne(silent);
    const std::vector<std::string> expected{" 1->1", " 1->1"};
    EXPECT_EQ(summary(silent), expected);
}
