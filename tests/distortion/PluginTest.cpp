// The fastrak_distortion library through the module's calibration path: a model file corrects
// samples in place, and a file it cannot use is one line on standard output and no correction.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "calib/CCalibH.h"
#include "support/CaptureStdout.h"

namespace fs = std::filesystem;

namespace {

// Offset x by 0.5 and z by -0.25 ft, y by 0.1 ft per foot of x (normalised by a scale of 2), within
// x, y, z of -10..10; the attitude turned 10 degrees about the vertical axis.
const char* const kModel = R"({
  "format": "fastrak-distortion-correction", "version": 1,
  "domain": {"low": [-10, -10, -10], "high": [10, 10, 10]},
  "normalise": {"centre": [0, 0, 0], "scale": [2, 2, 2]},
  "position": {"degree": 1, "terms": [[0, 0, 0], [1, 0, 0]], "x": [0.5, 0], "y": [0, 0.2], "z": [-0.25, 0]},
  "orientation": {"degree": 0, "terms": [[0, 0, 0]], "x": [0], "y": [0.17453292519943295], "z": [0]}
})";

class DistortionPlugin : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(DISTORTION_SCRATCH_DIR); }

    std::string writeModel(const std::string& name, const std::string& text) {
        const std::string path = (fs::path(DISTORTION_SCRATCH_DIR) / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // calib_init through CCalibH as the device's init calls it; returns what it printed.
    std::string start(CCalibH& calib, const std::vector<std::string>& args) {
        std::vector<const char*> words;
        for (const std::string& a : args) words.push_back(a.c_str());
        testsupport::CaptureStdout output;
        EXPECT_TRUE(calib.init(words.data(), static_cast<int32_t>(words.size())));
        return output.finish();
    }
};

TEST_F(DistortionPlugin, ModelCorrectsPositionAndAttitudeInPlace) {
    CCalibH calib(DISTORTION_PLUGIN_PATH, nullptr);
    ASSERT_TRUE(calib.isLoaded());
    EXPECT_EQ(start(calib, {writeModel("model.json", kModel)}), "");
    ASSERT_NE(calib.handle(), nullptr);
    struct Case {
        float in[6];
        float out[6];
    };
    const Case cases[] = {
        {{1, 2, 3, 20, 30, 40}, {1.5f, 2.1f, 2.75f, 30, 30, 40}},
        {{-4, 0, 0, 175, -10, 0}, {-3.5f, -0.4f, -0.25f, -175, -10, 0}},  // azimuth wraps round
        // Outside the measured volume: the correction of its edge (x = 10), not an extrapolation.
        {{30, 0, 0, 0, 0, 0}, {30.5f, 1.0f, -0.25f, 10, 0, 0}},
    };
    for (const Case& c : cases) {
        float sample[6];
        std::copy(c.in, c.in + 6, sample);
        ASSERT_TRUE(calib.evaluate(sample));
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(sample[i], c.out[i], i < 3 ? 1e-5 : 1e-3) << c.in[0] << " value " << i;
    }
    EXPECT_TRUE(calib.exit());
}

TEST_F(DistortionPlugin, UnusableModelIsOneLineOnStandardOutputAndNoCorrection) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* reason;
    };
    std::string model = kModel;
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = model;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const Case cases[] = {
        {"no argument", {}, "expected one argument"},
        {"missing file", {(fs::path(DISTORTION_SCRATCH_DIR) / "none.json").string()}, "cannot open the file"},
        {"not JSON", {writeModel("cut.json", model.substr(0, 80))}, "parse error"},
        {"other format", {writeModel("format.json", replaced("fastrak-distortion", "other"))}, "\"format\""},
        {"coefficient missing",
         {writeModel("count.json", replaced("\"x\": [0.5, 0]", "\"x\": [0.5]"))},
         "one coefficient per term"},
        {"overflowing number", {writeModel("huge.json", replaced("0.5, 0]", "1e999, 0]"))}, "number overflow"},
        {"term above degree", {writeModel("term.json", replaced("[1, 0, 0]]", "[1, 1, 0]]"))}, "more than the degree"},
        {"zero scale", {writeModel("scale.json", replaced("[2, 2, 2]", "[2, 0, 2]"))}, "\"scale\" must be positive"},
    };
    for (const Case& c : cases) {
        CCalibH calib(DISTORTION_PLUGIN_PATH, nullptr);
        const std::string output = start(calib, c.args);
        const std::vector<std::string> lines = testsupport::splitLines(output);
        ASSERT_EQ(lines.size(), 1u) << c.name << ": " << output;
        EXPECT_EQ(lines[0].rfind("fastrak_distortion: ERROR: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << c.name << ": " << lines[0];
        EXPECT_NE(lines[0].find("no correction is applied."), std::string::npos) << lines[0];
        EXPECT_EQ(calib.handle(), nullptr) << c.name;
        float sample[6] = {1, 2, 3, 4, 5, 6};
        ASSERT_TRUE(calib.evaluate(sample));
        for (int i = 0; i < 6; ++i) EXPECT_EQ(sample[i], i + 1.0f) << c.name;
        EXPECT_TRUE(calib.exit());
    }
}

}  // namespace
