// fastrak-host's recordings in-process: a file gets its first bytes with its first record, and a
// run that records nothing leaves no file of its own behind nor touches the one it was to replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "recording/CaptureWriter.h"
#include "recording/Recorder.h"

namespace {

namespace fs = std::filesystem;
using namespace fastrakhost;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Opens a recording of one kind at a path, hands it `records` records, closes it.
using RecordingRun = std::function<bool(const std::string& path, int records, std::string& error)>;

bool recorderRun(bool csv, const std::string& path, int records, std::string& error) {
    Recorder recorder;
    if (!recorder.open(csv ? path : "", csv ? "" : path)) {
        error = recorder.error();
        return false;
    }
    Sample sample;
    sample.device = "d";
    sample.output = 1;
    for (int i = 0; i < records; ++i) {
        recorder.write(sample);
        if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(450));  // a flush in between
    }
    return recorder.close();
}

bool captureRun(const std::string& path, int records, std::string& error) {
    CaptureWriter writer;
    if (!writer.open(path)) {
        error = writer.error();
        return false;
    }
    for (int i = 0; i < records; ++i)
        writer.add(fastrakcapture::ChunkKind::ToTracker, 0, CaptureWriter::Clock::now(), std::string("P"));
    return writer.close();
}

TEST(HostRecording, AFileHoldsRecordsOrIsLeftAsItWas) {
    const fs::path dir =
        fs::temp_directory_path() /
        ("fastrak-recording-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    ASSERT_TRUE(fs::create_directory(dir));
    const struct {
        const char* kind;
        RecordingRun run;
        std::string start;  // what a file with records begins with
        int headLines;      // lines before the records, or -1: not a text file
    } kinds[] = {
        {"csv", [](auto& p, int n, auto& e) { return recorderRun(true, p, n, e); }, "host_time,measured_time,device,output,kind,x_ft",
         1},
        {"jsonl", [](auto& p, int n, auto& e) { return recorderRun(false, p, n, e); }, "{\"host_time\":", 0},
        {"capture", captureRun, fastrakcapture::kMagic, -1},
    };
    const std::string kOld = "an earlier recording\n";  // there, as for --overwrite
    for (const auto& k : kinds) {
        for (const bool existed : {false, true}) {
            for (const int records : {0, 1, 3}) {
                const std::string what = std::string(k.kind) + (existed ? ", replacing a file" : ", a new file") +
                                         ", records " + std::to_string(records);
                const fs::path path = dir / k.kind;
                fs::remove(path);
                if (existed) std::ofstream(path, std::ios::binary) << kOld;
                std::string error;
                ASSERT_TRUE(k.run(path.string(), records, error)) << what << ": " << error;
                const std::string content = fs::exists(path) ? readFile(path) : "(none)";
                if (records > 0) {
                    EXPECT_EQ(content.rfind(k.start, 0), 0u) << what << ": " << content;
                    // A replaced file is emptied at the first flush only, not at each.
                    if (k.headLines >= 0) {
                        EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), k.headLines + records) << what;
                    }
                } else
                    EXPECT_EQ(content, existed ? kOld : "(none)") << what;
            }
        }
        // A folder that cannot take the file is known at open, before anything runs.
        std::string error;
        const std::string missing = (dir / "missing" / k.kind).string();
        EXPECT_FALSE(k.run(missing, 1, error)) << k.kind;
        EXPECT_NE(error.find(missing), std::string::npos) << error;
    }
    fs::remove_all(dir);
}

}  // namespace
