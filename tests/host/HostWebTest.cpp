// fastrak-host's web view end to end: the built program on fastrak-sim, HTTP clients and headless
// Chromium on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devices/OutputStats.h"
#include "DevToolsPipe.h"
#include "HostProcess.h"

namespace {

using namespace std::chrono_literals;
using hosttest::Process;
using hosttest::Scratch;
using json = nlohmann::json;

const std::string kHost = FASTRAK_HOST_PROGRAM;
const char* const kChromium = "/usr/bin/chromium";

// Station 1 stands still, station 2 circles, the stylus on station 1 is pressed twice a second.
const std::string kScene =
    "--receivers 1,2 --rate 240 --scene 2=circle:x=12,y=-10,z=4,radius=5,period=4 --press 1=0.5,0.2";

// A host with the web view on a free port; url() once it has said where.
class WebHost {
public:
    WebHost(const Scratch& scratch, const std::vector<std::string>& extra) : scratch_(scratch) {
        std::vector<std::string> argv = {
            kHost, "--simulate", "--plain", "--web", "0", "--jsonl", scratch.path("run.jsonl")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        started_ = process.start(argv, scratch.path("host.out"), scratch.path("host.err"));
    }
    std::string out() const { return hosttest::readFile(scratch_.path("host.out")); }
    // The port the host bound, from its "web view on http://127.0.0.1:PORT/" line; 0 if none came.
    int port() {
        std::smatch found;
        hosttest::eventually(
            [&] {
                const std::string text = out();
                return std::regex_search(text, found, std::regex("web view on http://127\\.0\\.0\\.1:(\\d+)/"));
            },
            30s);
        const std::string text = out();
        return started_ && std::regex_search(text, found, std::regex("web view on http://127\\.0\\.0\\.1:(\\d+)/"))
                   ? std::stoi(found[1])
                   : 0;
    }
    Process process;

private:
    const Scratch& scratch_;
    bool started_;
};

json getState(int port) {
    httplib::Client client("127.0.0.1", port);
    const auto response = client.Get("/state");
    return response && response->status == 200 ? json::parse(response->body) : json();
}

// A TCP connection to the host's port from a loopback address; -1 if none.
int connectFrom(int port, const char* from = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, to{};
    local.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    close(fd);
    return -1;
}

// Sends head, then `bytes` of filler made of `pattern` while the answer is read; the answer's
// status, 0 if none came.
int statusOf(int port, const std::string& head, const std::string& pattern = "", size_t bytes = 0) {
    const int fd = connectFrom(port);
    if (fd < 0) return 0;
    std::thread sender([&] {
        send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        std::string filler;
        while (!pattern.empty() && filler.size() < 64 * 1024) filler += pattern;
        for (size_t sent = 0; sent < bytes;) {
            const ssize_t n = send(fd, filler.data(), std::min(filler.size(), bytes - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    });
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    char buffer[4096];
    ssize_t got;
    while (answer.find("\r\n") == std::string::npos && (got = recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<size_t>(got));
    shutdown(fd, SHUT_RDWR);  // ends a sender the host no longer reads from
    sender.join();
    close(fd);
    std::smatch status;
    return std::regex_search(answer, status, std::regex("^HTTP/1\\.1 (\\d{3}) ")) ? std::stoi(status[1]) : 0;
}

std::string repeated(const std::string& text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

long procStatusKb(pid_t pid, const char* field) {
    std::smatch found;
    const std::string status = hosttest::readFile("/proc/" + std::to_string(pid) + "/status");
    return std::regex_search(status, found, std::regex(std::string(field) + ":\\s+(\\d+) kB")) ? std::stol(found[1])
                                                                                               : 0L;
}

std::vector<json> jsonLines(const std::string& path) {
    std::vector<json> out;
    for (const std::string& line : hosttest::lines(hosttest::readFile(path))) out.push_back(json::parse(line));
    return out;
}

// The run's record of that output at that host time, or null.
json recordAt(const std::vector<json>& records, const std::string& device, int output, const std::string& kind,
              double time) {
    for (const json& r : records) {
        if (r["device"] == device && r["output"] == output && r["kind"] == kind &&
            std::fabs(r["host_time"].get<double>() - time) < 5e-7)
            return r;
    }
    return json();
}

// A /state client and an /events client against one run: the values are the JSON lines', the still
// receiver's noise is 0, the moving one's rates are those of the file, and the end table agrees.
TEST(HostWeb, StateAndEventsMatchTheJsonLines) {
    Scratch scratch;
    WebHost host(scratch, {"--sim-args", kScene, "--duration", "9"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();

    std::mutex mutex;
    std::string stream;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        httplib::Client client("127.0.0.1", port);
        client.Get("/events", [&](const char* data, size_t size) {
            std::lock_guard<std::mutex> hold(mutex);
            stream.append(data, size);
            return !done;
        });
    });
    // Long enough for the still receiver's stretch and a full statistics window of the moving one.
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["records"].get<int>() > 0; }, 30s));
    std::this_thread::sleep_for(6s);
    const json state = getState(port);
    done = true;
    reader.join();
    ASSERT_EQ(host.process.wait(60s), 0) << host.out();

    const auto records = jsonLines(scratch.path("run.jsonl"));
    ASSERT_GT(records.size(), 500u);
    // /events: whole records, each a line of the file, in the file's order without a gap.
    std::vector<std::string> events;
    for (const std::string& line : hosttest::lines(stream)) {
        if (line.compare(0, 6, "data: ") == 0) events.push_back(line.substr(6));
    }
    ASSERT_GT(events.size(), 300u);
    const auto fileLines = hosttest::lines(hosttest::readFile(scratch.path("run.jsonl")));
    const auto start = std::find(fileLines.begin(), fileLines.end(), events.front());
    ASSERT_NE(start, fileLines.end()) << events.front();
    for (size_t i = 0; i < events.size(); ++i) {
        ASSERT_LT(start - fileLines.begin() + i, fileLines.size());
        ASSERT_EQ(events[i], *(start + i)) << "event " << i;
    }

    // /state: every output's latest record is the file's record of that time.
    ASSERT_EQ(state["outputs"].size(), 3u) << state.dump();
    std::map<std::string, json> outputs;
    for (const json& o : state["outputs"]) {
        const std::string name = o["kind"].get<std::string>() + std::to_string(o["output"].get<int>());
        outputs[name] = o;
        const json r = recordAt(records, o["device"], o["output"], o["kind"], o["host_time"]);
        ASSERT_FALSE(r.is_null()) << o.dump();
        EXPECT_EQ(o.contains("pose") ? o["pose"] : o["buttons"], r.contains("pose") ? r["pose"] : r["buttons"]) << name;
        EXPECT_EQ(o["station"], name == "tracker2" ? 2 : 1) << name;  // sensors 1 1 0 0, stylus 1
    }
    const double now = state["host_time"];
    auto countIn = [&](int output, const char* kind, double from, double to) {
        size_t n = 0;
        for (const json& r : records)
            n += r["output"] == output && r["kind"] == kind && r["host_time"] > from && r["host_time"] <= to;
        return static_cast<double>(n);
    };
    const json& still = outputs.at("tracker1");
    const json& moving = outputs.at("tracker2");
    EXPECT_TRUE(still["stats"]["still"].get<bool>()) << still.dump();
    EXPECT_EQ(still["stats"]["position_noise_mm"].get<double>(), 0.0);
    EXPECT_EQ(still["stats"]["angle_noise_deg"].get<double>(), 0.0);
    EXPECT_FALSE(moving["stats"]["still"].get<bool>()) << moving.dump();
    EXPECT_TRUE(moving["stats"]["position_noise_mm"].is_null());
    EXPECT_NEAR(moving["rate_hz"].get<double>(), countIn(2, "tracker", now - 1, now), 3) << moving.dump();
    EXPECT_NEAR(moving["stats"]["rate_hz"].get<double>(), countIn(2, "tracker", now - 5, now) / 5, 2) << moving.dump();
    EXPECT_GT(moving["rate_hz"].get<double>(), 50);
    EXPECT_LT(moving["stats"]["longest_gap_ms"].get<double>(), 200);
    ASSERT_EQ(state["devices"].size(), 1u);
    EXPECT_EQ(state["devices"][0]["state"], "running");
    EXPECT_EQ(state["devices"][0]["records"], state["records"]);
    // Measured before arrival by the tracker's 4 ms, the record's time on the line and delivery.
    EXPECT_GT(state["devices"][0]["delay_ms"].get<double>(), 4.0) << state["devices"].dump();
    EXPECT_LT(state["devices"][0]["delay_ms"].get<double>(), 40.0) << state["devices"].dump();
    bool logged = false;
    for (const json& line : state["log"])
        logged = logged || line["text"].get<std::string>().find("web view on") != std::string::npos;
    EXPECT_TRUE(logged) << state["log"].dump();

    // The end table: the file's count per output, and the still receiver's noise.
    const std::string out = host.out();
    std::smatch row;
    ASSERT_TRUE(std::regex_search(
        out, row, std::regex("\\n +sim +T1 +(\\d+) +[0-9.]+ +\\d+ ms +[0-9.]+ +([0-9.-]+) +([0-9.-]+)\\n")))
        << out;
    EXPECT_EQ(std::stod(row[1]), countIn(1, "tracker", 0, 1e12));
    EXPECT_EQ(row[2], "0.000");
    EXPECT_EQ(row[3], "0.000");
    ASSERT_TRUE(std::regex_search(out, row, std::regex("\\n +sim +T2 +(\\d+) +([0-9.]+) +\\d+ ms"))) << out;
    EXPECT_EQ(std::stod(row[1]), countIn(2, "tracker", 0, 1e12));
}

// A device whose emulator is gone is set up again and again; each set-up prints its summary, the
// page's log keeps the first.
TEST(HostWeb, LogShowsTheSummaryOnceAcrossSetUps) {
    Scratch scratch;
    WebHost host(scratch, {});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["records"].get<int>() > 0; }, 30s));
    for (pid_t emulator : hosttest::childrenOf(host.process.pid())) kill(emulator, SIGKILL);
    ASSERT_TRUE(hosttest::eventually([&] { return host.out().find("still not back") != std::string::npos; }, 20s))
        << host.out();
    json log;
    ASSERT_TRUE(hosttest::eventually([&] { return (log = getState(port)["log"]).is_array(); }, 10s));
    size_t summaries = 0;
    for (const json& line : log) summaries += line["text"].get<std::string>().find("DEVICE NAME") != std::string::npos;
    EXPECT_EQ(summaries, 1u) << log.dump(1);
    host.process.signal(SIGTERM);
    EXPECT_EQ(host.process.wait(15s), 1) << host.out();  // the line was not back at the end
}

// A receiver only on a station the sensors line leaves off: /state keeps the device running (not
// silent) with a hint that names the station, and the run's end says where its records went.
TEST(HostWeb, StationsOutsideTheSensorsLineAreNamed) {
    Scratch scratch;
    scratch.write("34.conf", "[device d]\nport com1\nsensors 1 1 0 0\n");
    WebHost host(scratch, {"--config", scratch.path("34.conf"), "--sim-args", "--receivers 3", "--duration", "7"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    json device;
    ASSERT_TRUE(hosttest::eventually(
        [&] {
            device = getState(port)["devices"][0];
            return device.value("hint", json()).is_string();
        },
        20s))
        << device.dump();
    EXPECT_EQ(device["hint"], "records from station 3 (not on the sensors line)");
    EXPECT_EQ(device["state"], "running");
    EXPECT_EQ(host.process.wait(30s), 1) << host.out();
    EXPECT_EQ(host.out().find("d: no record"), std::string::npos) << host.out();
    EXPECT_NE(host.out().find("never delivered a record: d (records came from station 3, which the sensors line "
                              "leaves off; write `sensors 1 1 1 0`)"),
              std::string::npos)
        << host.out();
    EXPECT_NE(host.out().find("WARNING: d: records arrive from station 3, which the sensors line leaves off; to take "
                              "them, write `sensors 1 1 1 0` in [device d]"),
              std::string::npos)
        << host.out();
}

// The statistics on records of known noise: RMS about the mean while still, angles across the
// +-180 seam, a move that ends a stretch, gaps and rates, over the window and over the run.
TEST(HostWeb, StatisticsOfKnownRecords) {
    using fastrakhost::OutputStats;
    using fastrakhost::Sample;
    const double mm = 1 / 304.8;  // feet
    struct Case {
        const char* what;
        std::vector<std::array<double, 6>> poses;  // one every 10 ms; x y z in mm, angles
        double position, angle;                    // noise wanted; < 0: not still
        double stillAtEnd;                         // window: the current stretch's length, s
    };
    std::vector<Case> cases = {
        {"x alternates by +-1 mm, roll by +-0.5 deg", {}, 1.0, 0.5, 1.0},
        {"azimuth across the seam, 179.9 and -179.9", {}, 0.0, 0.1, 1.0},
        {"a 10 mm step half-way: only the last stretch is still", {}, 0.0, 0.0, 0.5},
        {"moving 1 mm a record", {}, -1, -1, 0},
    };
    for (int i = 0; i < 100; ++i) {
        cases[0].poses.push_back({100 + (i % 2 ? 1.0 : -1.0), 20, 30, 10, 20, i % 2 ? 30.5 : 29.5});
        cases[1].poses.push_back({0, 0, 0, i % 2 ? 179.9 : -179.9, 0, 0});
        cases[2].poses.push_back({i < 50 ? 0.0 : 10.0, 0, 0, 0, 0, 0});
        cases[3].poses.push_back({1.0 * i, 0, 0, 0, 0, 0});
    }
    for (const Case& c : cases) {
        OutputStats stats;
        const auto start = std::chrono::steady_clock::now();
        Sample sample;
        sample.device = "d";
        sample.output = 1;
        for (size_t i = 0; i < c.poses.size(); ++i) {
            sample.arrived = start + std::chrono::milliseconds(10 * i + (i >= 60 ? 40 : 0));  // one record 40 ms late
            for (int k = 0; k < 6; ++k) sample.pose[k] = c.poses[i][k] * (k < 3 ? mm : 1);
            stats.add(sample);
        }
        const auto end = sample.arrived;
        const auto window = stats.window(end).at({0, 1});
        const auto run = stats.run(end).at({0, 1});
        EXPECT_EQ(run.records, 100u) << c.what;
        EXPECT_NEAR(run.rateHz, 99 / 1.03, 0.01) << c.what;
        EXPECT_NEAR(run.longestGapMs, 50, 1e-6) << c.what;
        EXPECT_NEAR(window.longestGapMs, 50, 1e-6) << c.what;
        EXPECT_NEAR(window.rateHz, 100 / 1.03, 0.01) << c.what;
        if (c.position < 0) {
            EXPECT_FALSE(window.still) << c.what;
            EXPECT_FALSE(run.still) << c.what;
            continue;
        }
        ASSERT_TRUE(window.still) << c.what;
        EXPECT_NEAR(window.stillSeconds, c.stillAtEnd, 0.06) << c.what;
        EXPECT_NEAR(window.positionNoiseMm, c.position, 1e-6) << c.what;
        EXPECT_NEAR(window.angleNoiseDeg, c.angle, 1e-6) << c.what;
        ASSERT_TRUE(run.still) << c.what;
        EXPECT_NEAR(run.positionNoiseMm, c.position, 1e-6) << c.what;
        EXPECT_NEAR(run.angleNoiseDeg, c.angle, 1e-6) << c.what;
        // The end-of-run table at 80 columns (less the indent): two tables, every figure whole.
        std::map<OutputStats::Key, fastrakhost::OutputFigures> figures{{{0, 1}, run}};
        const auto wide = OutputStats::table(figures), narrow = OutputStats::table(figures, 76);
        ASSERT_EQ(wide.size(), 2u);
        EXPECT_GT(wide[0].size(), 76u);
        ASSERT_EQ(narrow.size(), 5u);
        std::string cells;
        for (const std::string& line : narrow) {
            EXPECT_LE(line.size(), 76u) << line;
            cells += line + " ";
        }
        for (const char* word : {"records", "mean Hz", "longest gap", "still s", "noise mm", "noise deg"})
            EXPECT_NE(cells.find(word), std::string::npos) << word;
        std::istringstream row(wide[1]);
        for (std::string cell; row >> cell;) EXPECT_NE(cells.find(" " + cell + " "), std::string::npos) << cell;
    }
}

// Standing still counts only while the device's line delivers: a silence, a lost line or a paused
// host is no time still, while unchanged records (heard, not published) keep a still receiver so.
TEST(HostWeb, StillTimeCountsOnlyWhileTheLineDelivers) {
    using fastrakhost::OutputStats;
    struct Span {
        double from, to, xMm;  // a record every 10 ms from `from` to before `to`, seconds
    };
    const struct {
        const char* what;
        std::vector<Span> records;
        double heardUntil;                  // unchanged records heard every 10 ms after the last one until then
        double end, runStill, windowStill;  // windowStill < 0: not checked
    } cases[] = {
        {"1 s still, 7.8 s of silence, then a record 50 mm away", {{0, 1, 0}, {8.8, 8.81, 50}}, 0, 8.81, 1, -1},
        {"1 s still, then a silent line to the end", {{0, 1, 0}}, 0, 9, 1, 1},
        {"a 3 s pause inside 2 s of records that stay put", {{0, 1, 0}, {4, 5, 0}}, 0, 5, 2, 2},
        {"one record, then 5 s of unchanged records", {{0, 0.01, 0}}, 5, 5, 5, 5},
    };
    for (const auto& c : cases) {
        OutputStats stats;
        const auto start = std::chrono::steady_clock::now();
        auto at = [&](double t) {
            return start +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(t));
        };
        fastrakhost::Sample sample;
        sample.device = "d";
        sample.output = 1;
        double last = 0;
        for (const Span& span : c.records) {
            for (double t = span.from; t < span.to - 1e-9; t += 0.01) {
                sample.arrived = at(t);
                sample.pose[0] = span.xMm / 304.8;
                stats.add(sample);
                last = t;
            }
        }
        for (double t = last + 0.01; t <= c.heardUntil + 1e-9; t += 0.01) stats.heard("d", at(t));
        EXPECT_NEAR(stats.run(at(c.end)).at({0, 1}).stillSeconds, c.runStill, 0.05) << c.what;
        if (c.windowStill >= 0) {
            EXPECT_NEAR(stats.window(at(c.end)).at({0, 1}).stillSeconds, c.windowStill, 0.05) << c.what;
        }
    }
}

// Bytes of a PNG file's pixels (8-bit RGB or RGBA), unfiltered; empty if it is not such a file.
std::vector<uint8_t> pngPixels(const std::string& data, uint32_t& width, uint32_t& height, int& channels) {
    auto word = [&](size_t at) {
        return (uint32_t(uint8_t(data[at])) << 24) | (uint32_t(uint8_t(data[at + 1])) << 16) |
               (uint32_t(uint8_t(data[at + 2])) << 8) | uint8_t(data[at + 3]);
    };
    if (data.size() < 33 || data.compare(1, 3, "PNG") != 0) return {};
    std::string compressed;
    for (size_t at = 8; at + 8 <= data.size();) {
        const uint32_t length = word(at);
        const std::string type = data.substr(at + 4, 4);
        if (type == "IHDR") {
            width = word(at + 8), height = word(at + 12);
            if (data[at + 16] != 8 || (data[at + 17] != 2 && data[at + 17] != 6)) return {};
            channels = data[at + 17] == 2 ? 3 : 4;
        } else if (type == "IDAT") {
            compressed += data.substr(at + 8, length);
        }
        at += 12 + length;
    }
    const size_t stride = size_t(width) * channels;
    std::vector<uint8_t> raw((stride + 1) * height);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(compressed.data()), compressed.size()) != Z_OK)
        return {};
    std::vector<uint8_t> pixels(stride * height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t filter = raw[y * (stride + 1)];
        const uint8_t* in = &raw[y * (stride + 1) + 1];
        uint8_t* row = &pixels[y * stride];
        const uint8_t* up = y > 0 ? &pixels[(y - 1) * stride] : nullptr;
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= size_t(channels) ? row[i - channels] : 0, b = up ? up[i] : 0,
                      c = up && i >= size_t(channels) ? up[i - channels] : 0;
            int predicted = 0;
            if (filter == 1)
                predicted = a;
            else if (filter == 2)
                predicted = b;
            else if (filter == 3)
                predicted = (a + b) / 2;
            else if (filter == 4) {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            }
            row[i] = uint8_t(in[i] + predicted);
        }
    }
    return pixels;
}

// Headless Chromium loads the page from a running host: every output of /state is on it with the
// values of the run's records, no script error, and the screenshot shows the drawing. The device's
// name would open a comment and a script in the page's first state if '<' went there as it is.
TEST(HostWeb, PageInHeadlessChromiumShowsEveryOutput) {
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium << " (Debian: chromium)";
    Scratch scratch;
    const std::string name = "a<!--<script>";
    scratch.write("page.conf", "[device " + name + "]\nport x\nsensors 1 1 0 0\nstylus 1\n");
    WebHost host(scratch, {"--config", scratch.path("page.conf"), "--sim-args", kScene, "--duration", "20"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["outputs"].size() == 3; }, 30s));
    std::this_thread::sleep_for(2s);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    Process dom, shot;
    ASSERT_TRUE(dom.start({kChromium, "--headless", "--disable-gpu", "--no-sandbox", "--enable-logging=stderr", "--v=0",
                           "--timeout=5000", "--dump-dom", url},
                          scratch.path("dom.html"), scratch.path("dom.err")));
    EXPECT_EQ(dom.wait(60s), 0);
    ASSERT_TRUE(shot.start({kChromium, "--headless", "--disable-gpu", "--no-sandbox", "--timeout=5000",
                            "--window-size=1024,768", "--screenshot=" + scratch.path("page.png"), url},
                           scratch.path("shot.out"), scratch.path("shot.err")));
    EXPECT_EQ(shot.wait(60s), 0);
    const json state = getState(port);
    host.process.signal(SIGINT);
    ASSERT_EQ(host.process.wait(60s), 0) << host.out();

    const std::string page = hosttest::readFile(scratch.path("dom.html"));
    const std::string log = hosttest::readFile(scratch.path("dom.err"));
    EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
    EXPECT_NE(page.find("<pre id=\"errors\" hidden=\"\"></pre>"), std::string::npos) << page;

    // Each row of the latest-records table: the record of the run at its host time, as the page rounds it.
    const auto records = jsonLines(scratch.path("run.jsonl"));
    std::set<std::string> shown, wanted;
    for (const json& o : state["outputs"])
        wanted.insert(o["device"].get<std::string>() + (o["kind"] == "tracker" ? "/T" : "/C") +
                      std::to_string(o["output"].get<int>()));
    const std::regex rowPattern(
        "<tr data-output=\"([^\"]+)/([TC])(\\d+)\" data-host-time=\"([0-9.]+)\"[^>]*>(.*?)</tr>");
    const std::regex cellPattern("<td[^>]*data-field=\"([a-z]+)\"[^>]*>([^<]*)</td>");
    // The serialised DOM escapes the name in attributes.
    auto unescaped = [](std::string text) {
        for (const auto& entity :
             {std::make_pair("&lt;", "<"), std::make_pair("&gt;", ">"), std::make_pair("&amp;", "&")})
            for (size_t at = 0; (at = text.find(entity.first, at)) != std::string::npos; ++at)
                text.replace(at, std::strlen(entity.first), entity.second);
        return text;
    };
    for (auto it = std::sregex_iterator(page.begin(), page.end(), rowPattern); it != std::sregex_iterator(); ++it) {
        const std::smatch& row = *it;
        const std::string device = unescaped(row[1]), kind = row[2] == "T" ? "tracker" : "controller";
        const int output = std::stoi(row[3]);
        EXPECT_EQ(device, name);
        shown.insert(device + "/" + row[2].str() + row[3].str());
        const json r = recordAt(records, device, output, kind, std::stod(row[4]));
        ASSERT_FALSE(r.is_null()) << row[0];
        std::map<std::string, std::string> cells;
        const std::string inner = row[5];
        for (auto c = std::sregex_iterator(inner.begin(), inner.end(), cellPattern); c != std::sregex_iterator(); ++c)
            cells[(*c)[1]] = (*c)[2];
        if (kind == "tracker") {
            const char* fields[6] = {"x", "y", "z", "az", "el", "roll"};
            for (int i = 0; i < 6; ++i) {
                const double want = r["pose"][i].get<double>() * (i < 3 ? 30.48 : 1);
                EXPECT_NEAR(std::stod(cells[fields[i]]), want, 0.0051) << row[0] << " " << fields[i];
            }
        } else {
            EXPECT_EQ(cells["stylus"], r["buttons"][0] == 1 ? "pressed" : "released") << row[0];
        }
        EXPECT_EQ(cells["station"], kind == "tracker" ? row[3].str() : "1") << row[0];
        EXPECT_FALSE(cells["rate"].empty());
        EXPECT_FALSE(cells["age"].empty());
    }
    EXPECT_EQ(shown, wanted) << page;

    // Not blank: many pixels away from the background, in several colours.
    uint32_t width = 0, height = 0;
    int channels = 0;
    const auto pixels = pngPixels(hosttest::readFile(scratch.path("page.png")), width, height, channels);
    ASSERT_FALSE(pixels.empty()) << hosttest::readFile(scratch.path("shot.err"));
    EXPECT_EQ(width, 1024u);
    std::map<uint32_t, size_t> colours;
    for (size_t i = 0; i + 2 < pixels.size(); i += channels)
        ++colours[(pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2]];
    size_t background = 0;
    for (const auto& c : colours) background = std::max(background, c.second);
    const size_t total = size_t(width) * height;
    EXPECT_GT(total - background, total / 20) << "pixels off the background";
    size_t strong = 0;  // the outputs' colours: saturated, unlike text and grid
    for (const auto& c : colours) {
        const int r = c.first >> 16, g = (c.first >> 8) & 255, b = c.first & 255;
        strong += std::max({r, g, b}) - std::min({r, g, b}) > 100 ? c.second : 0;
    }
    EXPECT_GT(strong, 200u) << "the outputs' marks and trails";
}

// The page on a phone, 420 x 800, with a device that goes silent after 10 s: nothing reaches past
// the screen's width (each output of the tables a block of label and value lines, no cell
// off-screen), the log's long warning wraps, and the head's "live" is green while the device runs,
// not once it is silent.
TEST(HostWeb, PageFitsAPhoneAndShowsASilentDeviceIsNotLive) {
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium << " (Debian: chromium)";
    Scratch scratch;
    WebHost host(scratch, {"--sim-args", "--receivers 1,2 --fault silence:at=10,for=600", "--duration", "90"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["records"].get<int>() > 0; }, 30s)) << host.out();
    hosttest::DevToolsPipe browser(kChromium, scratch.path("profile"), scratch.path("chromium.log"));
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(port) + "/", 420, 800))
        << hosttest::readFile(scratch.path("chromium.log"));
    const std::string measure = R"((() => {
      const width = document.documentElement.clientWidth, outside = [], cut = [];
      for (const e of document.querySelectorAll('header, figure, canvas, #tables > div, #plotbox, #logbox')) {
        const r = e.getBoundingClientRect();
        if (r.left < 0 || r.right > width + 0.5 || r.width < 50) outside.push(e.id || e.tagName);
      }
      // A table wider than its box must scroll there, not be cut.
      for (const t of document.querySelectorAll('table')) {
        const box = t.parentElement;
        if (t.offsetWidth > box.clientWidth && !/auto|scroll/.test(getComputedStyle(box).overflowX)) cut.push(t.id);
      }
      const offscreen = [...document.querySelectorAll('#tables td')].filter((td) => {
        const r = td.getBoundingClientRect();
        return r.width > 0 && (r.left < 0 || r.right > width + 0.5);
      }).map((td) => td.dataset.label + ' ' + td.textContent);
      const labelled = [...document.querySelectorAll('#latest td')].filter((td) => td.dataset.label === 'roll °').length;
      const log = document.getElementById('log'), link = document.getElementById('link');
      const [r, g, b] = getComputedStyle(link).color.match(/\d+/g).map(Number);
      return { width, page: document.documentElement.scrollWidth, outside, cut, offscreen, labelled,
               rows: document.querySelectorAll('#latest tbody tr').length,
               logWide: log.scrollWidth > log.clientWidth + 1, link: link.textContent, green: g > r + 40 && g > b + 40,
               silent: document.querySelector('[data-state="silent"]') !== null };
    })())";
    json page;
    ASSERT_TRUE(hosttest::eventually(
        [&] { return (page = browser.evaluate(measure)).is_object() && page["link"] != "connecting"; }, 15s))
        << page.dump();
    EXPECT_TRUE(page["green"].get<bool>() && !page["silent"].get<bool>()) << "while running: " << page.dump();
    ASSERT_TRUE(hosttest::eventually(
        [&] { return (page = browser.evaluate(measure)).is_object() && page["silent"].get<bool>(); }, 30s))
        << page.dump();
    std::this_thread::sleep_for(1s);  // the log's warning comes with a later poll
    page = browser.evaluate(measure);
    host.process.signal(SIGINT);
    host.process.wait(60s);

    ASSERT_TRUE(page.is_object()) << hosttest::readFile(scratch.path("chromium.log"));
    EXPECT_FALSE(page["green"].get<bool>()) << "green while the device is silent: " << page.dump();
    EXPECT_EQ(page["width"], 420) << page.dump();
    EXPECT_LE(page["page"].get<int>(), 420) << page.dump();
    EXPECT_EQ(page["outside"], json::array()) << page.dump();
    EXPECT_EQ(page["cut"], json::array()) << page.dump();
    EXPECT_EQ(page["offscreen"], json::array()) << page.dump();
    EXPECT_GT(page["labelled"].get<int>(), 0) << page.dump();
    EXPECT_GT(page["rows"].get<int>(), 0) << page.dump();
    EXPECT_FALSE(page["logWide"].get<bool>()) << page.dump();
}

// An /events client that stops reading for 30 s: reception keeps its rate, the host's memory stays
// within a bound, and the client is dropped and reported.
TEST(HostWeb, ClientThatStopsReadingIsDroppedWithoutSlowingReception) {
    Scratch scratch;
    WebHost host(scratch, {"--sim-args", kScene, "--duration", "40"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    auto rss = [&] { return procStatusKb(host.process.pid(), "VmRSS"); };
    std::this_thread::sleep_for(3s);
    const double stallFrom = getState(port)["host_time"];
    const long before = rss();
    long most = before;
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(1s);
        most = std::max(most, rss());
    }
    const double stallTo = stallFrom + 30;
    close(fd);
    ASSERT_EQ(host.process.wait(60s), 0) << host.out();

    const auto records = jsonLines(scratch.path("run.jsonl"));
    size_t during = 0;
    for (const json& r : records) during += r["host_time"] >= stallFrom && r["host_time"] < stallTo;
    const double overall =
        records.size() / (records.back()["host_time"].get<double>() - records.front()["host_time"].get<double>());
    EXPECT_GT(during / 30.0, 0.9 * overall)
        << during << " records in the 30 s stall, " << overall << " a second in all";
    EXPECT_LT(most - before, 8 * 1024) << "kB of RSS gained during the stall";
    const std::string out = host.out();
    EXPECT_NE(out.find("dropped: it took nothing for 5 s"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("stopped; \\d+ records; web 0 clients, \\d+ skipped, 1 dropped")))
        << out;
}

// Sixteen clients that read /events and /state slower than four devices send hold neither the
// workers nor the stop: the host ends within 5 s of its duration, and the recording is whole. One
// that keeps up with a third of the stream falls a whole ring behind; what it skips is counted,
// and none of them, all reading steadily, is dropped as stalled.
TEST(HostWeb, SlowClientsDoNotHoldTheStop) {
    Scratch scratch;
    scratch.write("four.conf", "[device a]\nport x\n[device b]\nport x\n[device c]\nport x\n[device d]\nport x\n");
    WebHost host(scratch, {"--config", scratch.path("four.conf"), "--sim-args",
                           "--receivers 1,2 --rate 240 --scene 1=circle:x=12,y=-10,z=4,radius=5,period=4 "
                           "--scene 2=circle:x=12,y=-10,z=4,radius=5,period=3",
                           "--duration", "30"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["records"].get<int>() > 0; }, 30s));
    const auto receiving = std::chrono::steady_clock::now();  // at or after the duration's start
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 16; ++i) {
        clients.emplace_back([&, i] {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int buffer = 16384;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(static_cast<uint16_t>(port));
            const std::string request =
                std::string("GET ") + (i < 8 ? "/events" : "/state") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            // 16 KB a second, a sixth of the stream, yet room on the host's side well within every
            // 5 s (its send buffer must drain by a third; a client taking less is dropped as
            // stalled); the first client 32 KB.
            std::vector<char> slice(i == 0 ? 32768 : 16384);
            while (!done && recv(fd, slice.data(), slice.size(), MSG_DONTWAIT) != 0) std::this_thread::sleep_for(1s);
            close(fd);
        });
    }
    const int status = host.process.wait(50s);
    const double late = std::chrono::duration<double>(std::chrono::steady_clock::now() - receiving).count() - 30;
    done = true;
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(status, 0) << host.out();
    std::cout << "ended " << late << " s after --duration with 16 slow clients\n";
    EXPECT_LT(late, 5) << "seconds past --duration";
    std::smatch total;
    const std::string out = host.out();
    ASSERT_TRUE(std::regex_search(out, total,
                                  std::regex("stopped; (\\d+) records; web 0 clients, (\\d+) skipped, (\\d+) dropped")))
        << out;
    EXPECT_EQ(jsonLines(scratch.path("run.jsonl")).size(), std::stoul(total[1]));
    EXPECT_GT(std::stoul(total[2]), 0u) << out;
    EXPECT_EQ(total[3], "0") << "clients that read steadily were dropped as stalled: " << total[0];
}

// Requests the view does not serve are answered as soon as the head shows it, without reading the
// body or the rest of the head: the host's memory stays as it was under a large body and a flood
// of header lines.
TEST(HostWeb, RequestsOutsideTheLimitsAreRefusedWithoutReadingThem) {
    Scratch scratch;
    WebHost host(scratch, {"--duration", "60"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["records"].get<int>() > 0; }, 30s));
    const long before = procStatusKb(host.process.pid(), "VmRSS");
    const std::string hostLine = "Host: 127.0.0.1\r\n";
    const struct {
        std::string head, pattern;
        size_t bytes;
        int status;
    } cases[] = {
        {"HEAD /state HTTP/1.1\r\n" + hostLine + "\r\n", "", 0, 200},
        {"POST /state HTTP/1.1\r\n" + hostLine + "Content-Length: 300000000\r\n\r\n", "x", 64 << 20, 405},
        {"DELETE / HTTP/1.1\r\n" + hostLine + "\r\n", "", 0, 405},
        {"GET /state HTTP/1.1\r\n" + hostLine + "Content-Length: 5\r\n\r\n", "x", 5, 413},
        {"GET /state HTTP/1.1\r\n" + hostLine + "Transfer-Encoding: chunked\r\n\r\n", "0\r\n\r\n", 5, 413},
        {"GET /" + std::string(3000, 'a') + " HTTP/1.1\r\n" + hostLine + "\r\n", "", 0, 414},
        {"GET /state HTTP/1.1\r\n" + hostLine, "X-A: b\r\n", 16 << 20, 431},  // two million lines
        {"GET /state HTTP/1.1\r\n" + hostLine + "X-Big: " + std::string(9000, 'a') + "\r\n\r\n", "", 0, 431},
        {"GET /state HTTP/1.1\r\n" + hostLine + repeated("X: y\r\n", 100) + "\r\n", "", 0, 431},  // few bytes
        // Each range a copy of the file: many are answered with the file once, one as asked.
        {"GET /app.js HTTP/1.1\r\n" + hostLine + "Range: bytes=0-" + repeated(",0-", 2600) + "\r\n\r\n", "", 0, 200},
        {"GET /app.js HTTP/1.1\r\n" + hostLine + "Range: bytes=0-9\r\n\r\n", "", 0, 206},
        // A name of another site, rebound to this machine, is not served; this machine's names are.
        {"GET /state HTTP/1.1\r\nHost: attacker.example:" + std::to_string(port) + "\r\n\r\n", "", 0, 421},
        {"GET /state HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n", "", 0, 200},
    };
    for (const auto& c : cases) EXPECT_EQ(statusOf(port, c.head, c.pattern, c.bytes), c.status) << c.head.substr(0, 40);
    const long most = procStatusKb(host.process.pid(), "VmHWM");
    host.process.signal(SIGINT);
    ASSERT_EQ(host.process.wait(60s), 0) << host.out();
    EXPECT_LT(most - before, 20 * 1024) << "kB of memory taken by the requests";
}

// Idle connections cost the view nothing: /state answers while 600 are held, and each is closed
// a few seconds after it came without a whole request, as is one that sends a byte a second.
TEST(HostWeb, IdleConnectionsNeitherStallTheViewNorStay) {
    Scratch scratch;
    WebHost host(scratch, {"--duration", "60"});
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["records"].get<int>() > 0; }, 30s));
    std::atomic<bool> trickling{true};
    std::thread trickler([&] {
        const int fd = connectFrom(port);
        for (const char c : std::string("GET /state HTTP/1.1\r\nX-Slow: ") + std::string(60, 'a')) {
            if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
            std::this_thread::sleep_for(1s);
        }
        trickling = false;
        close(fd);
    });
    std::vector<pollfd> idle;
    for (int i = 0; i < 600; ++i) {
        const int fd = connectFrom(port);
        ASSERT_GE(fd, 0) << i;
        idle.push_back(pollfd{fd, POLLIN, 0});
    }
    const auto asked = std::chrono::steady_clock::now();
    const json state = getState(port);
    const auto answered = std::chrono::steady_clock::now();
    EXPECT_TRUE(state.contains("records")) << "no answer while 600 idle connections are held";
    std::cout << "/state answered in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(answered - asked).count()
              << " ms with 600 idle connections\n";
    size_t closed = 0;
    EXPECT_TRUE(hosttest::eventually(
        [&] {
            poll(idle.data(), idle.size(), 0);
            closed = 0;
            char scrap;
            for (const pollfd& p : idle) closed += p.revents != 0 && recv(p.fd, &scrap, 1, MSG_PEEK) == 0;
            return closed == idle.size() && !trickling;
        },
        30s))
        << closed << " of 600 idle connections closed by the host; the slow one "
        << (trickling ? "still open" : "closed");
    trickler.join();
    for (const pollfd& p : idle) close(p.fd);

    // A kept-alive connection has 5 s from each answer, not from its opening, for its next request.
    const int kept = connectFrom(port);
    const std::string request = "GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const timeval limit{10, 0};
    setsockopt(kept, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    for (int i = 0; i < 3; ++i) {
        if (i > 0) std::this_thread::sleep_for(3s);
        std::string answer;
        char buffer[4096];
        ssize_t got = 0;
        send(kept, request.data(), request.size(), MSG_NOSIGNAL);
        std::smatch length;
        while (!(std::regex_search(answer, length, std::regex("Content-Length: (\\d+)\r\n")) &&
                 answer.find("\r\n\r\n") != std::string::npos &&
                 answer.size() >= answer.find("\r\n\r\n") + 4 + std::stoul(length[1])) &&
               (got = recv(kept, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, static_cast<size_t>(got));
        EXPECT_EQ(answer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << "request " << i + 1 << " on one connection";
    }
    close(kept);
    // Connections that closed make room: many more than the limit, one after another, are all answered.
    size_t served = 0;
    for (int i = 0; i < 600; ++i)
        served += statusOf(port, "GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") == 200;
    EXPECT_EQ(served, 600u);
    host.process.signal(SIGINT);
    EXPECT_EQ(host.process.wait(60s), 0) << host.out();
}

// A client that reconnects in a loop, to /events and to OpenIGTLink, is logged once per address
// per 10 s; the line after the pause says how many were held back; another address has its own.
TEST(HostWeb, ClientReconnectingInALoopLogsALinePerAddressPer10s) {
    Scratch scratch;
    std::vector<std::string> extra = {"--duration", "60"};
#if defined(FASTRAK_HOST_IGTL)
    extra.insert(extra.end(), {"--igtl", "0"});
#endif
    WebHost host(scratch, extra);
    const int port = host.port();
    ASSERT_GT(port, 0) << host.out();
    int igtlPort = 0;
    std::smatch found;
    const std::string started = host.out();
    if (std::regex_search(started, found, std::regex("OpenIGTLink server listening on 127\\.0\\.0\\.1:(\\d+)")))
        igtlPort = std::stoi(found[1]);
    ASSERT_TRUE(hosttest::eventually([&] { return getState(port)["records"].get<int>() > 0; }, 30s));
    auto visit = [&](const char* from) {
        const int web = connectFrom(port, from);
        const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(web, request.data(), request.size(), MSG_NOSIGNAL);
        char answer[64];
        recv(web, answer, sizeof answer, 0);
        close(web);
        if (igtlPort != 0) close(connectFrom(igtlPort, from));
    };
    const auto first = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) visit("127.0.0.1");
    // Once the streams have ended: a client past the eighth stream is turned away without a line.
    EXPECT_TRUE(hosttest::eventually([&] { return getState(port)["streams"]["clients"] == 0; }, 8s));
    visit("127.0.0.2");
    std::this_thread::sleep_until(first + 10500ms);
    visit("127.0.0.1");
    std::this_thread::sleep_for(1s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    host.process.signal(SIGINT);
    ASSERT_EQ(host.process.wait(60s), 0) << host.out();

    const std::string out = host.out();
    std::vector<std::string> prefixes = {"web view: "};
    if (igtlPort != 0) prefixes.push_back("OpenIGTLink client ");
    for (const std::string& prefix : prefixes) {
        size_t lines = 0, held = 0, other = 0;
        for (const std::string& line : hosttest::lines(out)) {
            lines += line.find(prefix + "127.0.0.1:") != std::string::npos;
            held += line.find(prefix + "127.0.0.1:") != std::string::npos &&
                    std::regex_search(line,
                                      std::regex("\\(\\d+ lines about 127\\.0\\.0\\.1 not shown before this one\\)$"));
            other += line.find(prefix + "127.0.0.2:") != std::string::npos;
        }
        EXPECT_LE(lines, 1 + static_cast<size_t>(seconds / 10)) << prefix << "\n" << out;
        EXPECT_EQ(held, 1u) << prefix << "\n" << out;
        EXPECT_GE(other, 1u) << prefix << "\n" << out;
    }
}

// Where to listen is checked before anything starts: a bad address is status 2, one that cannot be
// had 1; nothing is written then.
TEST(HostWeb, BadOrTakenAddressStopsAtStart) {
    Scratch scratch;
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    scratch.write("web.conf", "[host]\nweb [::1\n[device a]\nport x\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--web", "127.0.0.1"}, 2, "127.0.0.1: the port is a number from 0 to 65535 (0: a free one)"},
        {{"--web", "70000"}, 2, "70000: the port is a number from 0 to 65535"},
        {{"--web", ":8080"}, 2, ":8080: an address before the colon, or only a port"},
        {{"--config", scratch.path("web.conf")}, 2, "[::1: an IPv6 address is written [ADDR]:PORT"},
        {{"--web", "[::1]"}, 2, "[::1]: an IPv6 address is written [ADDR]:PORT"},  // no usual port
        {{"--web", busy}, 1, busy + ": cannot listen there: "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kHost, "--simulate", "--csv", scratch.path("out.csv")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process host;
        ASSERT_TRUE(host.start(argv, scratch.path("host.out"), scratch.path("host.err")));
        EXPECT_EQ(host.wait(20s), c.status) << c.args.back();
        EXPECT_NE(hosttest::readFile(scratch.path("host.err")).find("fastrak-host: web view " + c.err),
                  std::string::npos)
            << hosttest::readFile(scratch.path("host.err"));
        EXPECT_NE(access(scratch.path("out.csv").c_str(), F_OK), 0) << c.args.back() << ": started before the check";
    }
    close(taken);
}

}  // namespace
