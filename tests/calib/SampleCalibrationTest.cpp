// The sample calibration library: its argument syntax, its correction, its refusals on standard
// output, and its use through CCalibH.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CalibTestSupport.h"
#include "calib/CCalibH.h"
#include "support/CaptureStdout.h"

using calibtest::hostLogger;

namespace {

class SampleCalibration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(library.isLoaded());
        init = reinterpret_cast<CCalibH::CalibInitFunction>(library.getProcAddr("calib_init"));
        evaluate = reinterpret_cast<CCalibH::CalibEvaluateFunction>(library.getProcAddr("calib_evaluate"));
        exit = reinterpret_cast<CCalibH::CalibExitFunction>(library.getProcAddr("calib_exit"));
        ASSERT_NE(init, nullptr);
        ASSERT_NE(evaluate, nullptr);
        ASSERT_NE(exit, nullptr);
    }

    // calib_init with these words, as the module hands them over (its own modifiable copies).
    void* start(std::vector<std::string> words) {
        std::vector<char*> args;
        for (std::string& word : words) args.push_back(&word[0]);
        return init(args.empty() ? nullptr : args.data(), static_cast<int32_t>(args.size()));
    }

    Logger quiet = hostLogger(0);
    CDynamicLibH library{SAMPLE_CALIBRATION_PATH, &quiet};
    CCalibH::CalibInitFunction init = nullptr;
    CCalibH::CalibEvaluateFunction evaluate = nullptr;
    CCalibH::CalibExitFunction exit = nullptr;
};

}  // namespace

TEST_F(SampleCalibration, ScalesThenShiftsThePositionAndLeavesTheAngles) {
    testsupport::CaptureStdout output;
    void* handle = start({"scale=2,1,0.5", "OFFSET=0.25,-1,0"});
    ASSERT_NE(handle, nullptr);
    float sample[6] = {1, 2, 3, 10, -20, 30};
    evaluate(handle, sample);
    const float expected[6] = {2.25f, 1, 1.5f, 10, -20, 30};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(sample[i], expected[i]) << i;
    exit(handle);

    // No arguments: a working handle that changes nothing.
    void* identity = start({});
    ASSERT_NE(identity, nullptr);
    float unchanged[6] = {1.5f, -2, 3, 4, 5, 6};
    evaluate(identity, unchanged);
    EXPECT_FLOAT_EQ(unchanged[0], 1.5f);
    EXPECT_FLOAT_EQ(unchanged[1], -2);
    EXPECT_FLOAT_EQ(unchanged[2], 3);
    exit(identity);
    EXPECT_EQ(output.finish(), "");
}

// Standard output is the log the user reads; the line has the module's form.
TEST_F(SampleCalibration, BadArgumentsAreLoggedOnStandardOutputAndGiveANullHandle) {
    struct Case {
        std::vector<std::string> words;
        std::string reason;
    };
    const std::string three = "expected three numbers separated by commas, without blanks";
    const std::vector<Case> cases = {
        {{"scale=1,1"}, three},
        {{"scale=1,1,1,1"}, three},
        {{"scale=1, 1,1"}, three},
        {{"scale=1,,1"}, three},
        {{"scale=a,b,c"}, three},
        {{"offset=1,2,3x"}, three},
        {{"offset=1e40,0,0"}, three},  // beyond a float
        {{"offset=nan,0,0"}, three},
        {{"offset="}, three},
        {{"shift=1,2,3"}, "unknown setting, expected scale or offset"},
        {{"scale"}, "expected scale=X,Y,Z or offset=X,Y,Z"},
        {{""}, "expected scale=X,Y,Z or offset=X,Y,Z"},
        {{"scale=1,1,1", "Scale=2,2,2"}, "this setting was already given"},
    };
    for (const Case& item : cases) {
        testsupport::CaptureStderr errors;
        testsupport::CaptureStdout output;
        void* handle = start(item.words);
        const std::string& culprit = item.words.back();
        EXPECT_EQ(handle, nullptr) << culprit;
        EXPECT_EQ(output.finish(), "fastrak_sample_calibration: ERROR: bad argument \"" + culprit +
                                       "\": " + item.reason + "; no correction is applied.\n");
        EXPECT_EQ(errors.finish(), "");
        exit(handle);
    }
}

TEST_F(SampleCalibration, NullHandleIsTolerated) {
    float sample[6] = {1, 2, 3, 4, 5, 6};
    evaluate(nullptr, sample);
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(sample[i], static_cast<float>(i + 1)) << i;
    exit(nullptr);
    evaluate(nullptr, nullptr);
    testsupport::CaptureStdout output;
    EXPECT_EQ(init(nullptr, 2), nullptr);  // a count without an array
    EXPECT_EQ(output.finish(),
              "fastrak_sample_calibration: ERROR: no arguments array for a count of 2; no correction is applied.\n");
}

TEST(SampleCalibrationThroughTheModule, CorrectsSamplesInPlace) {
    const Logger quiet = hostLogger(0);
    CCalibH calib(SAMPLE_CALIBRATION_PATH, &quiet);
    const char* args[] = {"offset=0,0,-0.5"};
    ASSERT_TRUE(calib.init(args, 1));
    EXPECT_NE(calib.handle(), nullptr);
    float sample[6] = {1, 2, 3, 0, 0, 0};
    EXPECT_TRUE(calib.evaluate(sample));
    EXPECT_FLOAT_EQ(sample[2], 2.5f);
    EXPECT_TRUE(calib.exit());
}
