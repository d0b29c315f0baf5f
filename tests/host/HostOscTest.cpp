// fastrak-host's OSC output end to end: the built program on fastrak-sim, liblo receivers on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "HostProcess.h"

namespace {

using namespace std::chrono_literals;
using hosttest::Process;
using hosttest::Scratch;

const std::string kHost = FASTRAK_HOST_PROGRAM;

// One record as it crossed: the address, the argument types, the values and the bundle's time
// tag in seconds since 1970.
struct Record {
    std::string path, types;
    std::vector<double> values;
    double time = 0;
};

// A liblo server on its own thread; pause() stops it reading, so the sender's socket fills up.
class Receiver {
public:
    explicit Receiver(int protocol) {
        server_ = lo_server_new_with_proto(nullptr, protocol, nullptr);
        if (server_ == nullptr) return;
        if (protocol == LO_TCP) {  // a small window, inherited by the accepted connection
            const int size = 4096;
            setsockopt(lo_server_get_socket_fd(server_), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        lo_server_enable_queue(server_, 0, 1);  // dispatch at once, whatever the time tag says
        lo_server_add_bundle_handlers(server_, onBundle, onBundleEnd, this);
        lo_server_add_method(server_, nullptr, nullptr, onMessage, this);
        thread_ = std::thread([this] {
            while (!done_) {
                if (paused_) {
                    std::this_thread::sleep_for(20ms);
                } else {
                    lo_server_recv_noblock(server_, 20);
                }
            }
        });
    }
    ~Receiver() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        if (server_ != nullptr) lo_server_free(server_);
    }
    bool ready() const { return server_ != nullptr; }
    std::string url(const char* scheme) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(lo_server_get_port(server_));
    }
    void pause(bool value) { paused_ = value; }
    std::vector<Record> records() {
        std::lock_guard<std::mutex> hold(mutex_);
        return records_;
    }

private:
    static int onBundle(lo_timetag tag, void* self) {
        static_cast<Receiver*>(self)->tag_ = (tag.sec - 2208988800.0) + tag.frac / 4294967296.0;
        return 0;
    }
    static int onBundleEnd(void*) { return 0; }
    static int onMessage(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* self) {
        auto* receiver = static_cast<Receiver*>(self);
        Record record{path, types, {}, receiver->tag_};
        for (int i = 0; i < argc; ++i) {
            // liblo's arguments sit at 4-byte offsets in the packet, less than lo_arg's alignment.
            float f;
            int32_t n;
            std::memcpy(&f, argv[i], 4);
            std::memcpy(&n, argv[i], 4);
            record.values.push_back(types[i] == 'f' ? f : types[i] == 'i' ? n : NAN);
        }
        std::lock_guard<std::mutex> hold(receiver->mutex_);
        receiver->records_.push_back(record);
        return 0;
    }

    lo_server server_ = nullptr;
    std::thread thread_;
    std::atomic<bool> done_{false}, paused_{false};
    double tag_ = 0;
    std::mutex mutex_;
    std::vector<Record> records_;
};

// What the JSON lines file says each record must look like on the wire.
std::vector<Record> expectedRecords(const std::string& path) {
    std::vector<Record> records;
    for (const std::string& line : hosttest::lines(hosttest::readFile(path))) {
        const auto json = nlohmann::json::parse(line);
        const bool tracker = json["kind"] == "tracker";
        Record record;
        record.path = "/fastrak/" + json["device"].get<std::string>() + (tracker ? "/tracker/" : "/controller/") +
                      std::to_string(json["output"].get<int>());
        record.values = json[tracker ? "pose" : "buttons"].get<std::vector<double>>();
        record.types = std::string(record.values.size(), tracker ? 'f' : 'i');
        record.time = json["measured_time"].get<double>();
        records.push_back(record);
    }
    return records;
}

// Same address, types and values (the file has 5 decimals, the wire single precision) and time.
::testing::AssertionResult same(const Record& got, const Record& want) {
    bool equal = got.path == want.path && got.types == want.types && got.values.size() == want.values.size() &&
                 std::fabs(got.time - want.time) < 2e-6;
    for (size_t i = 0; equal && i < got.values.size(); ++i)
        equal = std::fabs(got.values[i] - want.values[i]) <= 1e-5 + 1e-6 * std::fabs(want.values[i]);
    if (equal) return ::testing::AssertionSuccess();
    auto text = [](const Record& r) {
        std::string s = r.path + " ," + r.types + " @" + std::to_string(r.time);
        for (double v : r.values) s += " " + std::to_string(v);
        return s;
    };
    return ::testing::AssertionFailure() << "got " << text(got) << "\nwant " << text(want);
}

int freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// "OSC 1200 sent, 3 replaced, 0 dropped, 0 errors" from the host's last line.
std::map<std::string, uint64_t> finalCounts(const std::string& out) {
    std::smatch found;
    std::map<std::string, uint64_t> counts;
    if (std::regex_search(
            out, found,
            std::regex("stopped; \\d+ records; OSC (\\d+) sent, (\\d+) replaced, (\\d+) dropped, (\\d+) errors"))) {
        counts = {{"sent", std::stoull(found[1])},
                  {"replaced", std::stoull(found[2])},
                  {"dropped", std::stoull(found[3])},
                  {"errors", std::stoull(found[4])}};
    }
    return counts;
}

const std::string kScene =
    "--receivers 1,2 --rate 240 --scene 1=circle:x=12,y=-10,z=4,radius=5,period=4 "
    "--scene 2=eight:x=20,y=-12,z=6,radius=4,period=6 --press 1=0.5,0.2";

// Every record of the run reaches a receiver as the JSON lines file has it, in the same order, with
// time tags that increase per output; a second destination where nobody listens, and a TCP one
// that goes away, only cost send errors, reported with the system's reason.
TEST(HostOsc, UdpReceiverGetsWhatTheJsonLinesFileHolds) {
    Scratch scratch;
    Receiver receiver(LO_UDP);
    ASSERT_TRUE(receiver.ready());
    const std::string nobody = "osc.udp://127.0.0.1:" + std::to_string(freeUdpPort());
    // A TCP listener that never accepts: the host's connection waits in its backlog until it closes.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string gone = "osc.tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    Process host;
    ASSERT_TRUE(
        host.start({kHost, "--simulate", "--plain", "--sim-args", kScene, "--count", "700", "--jsonl",
                    scratch.path("run.jsonl"), "--osc", receiver.url("osc.udp"), "--osc", nobody, "--osc", gone},
                   scratch.path("host.out"), scratch.path("host.err")));
    hosttest::eventually([&] { return receiver.records().size() > 100; }, 60s);
    close(listener);  // resets the waiting connection; tries to connect again are refused
    const int status = host.wait(90s);
    const std::string out = hosttest::readFile(scratch.path("host.out"));
    ASSERT_EQ(status, 0) << out << hosttest::readFile(scratch.path("host.err"));
    std::this_thread::sleep_for(300ms);

    const auto want = expectedRecords(scratch.path("run.jsonl"));
    const auto got = receiver.records();
    ASSERT_GE(want.size(), 700u);
    ASSERT_EQ(got.size(), want.size()) << out;
    std::map<std::string, double> lastTime;
    size_t presses = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(same(got[i], want[i])) << "record " << i;
        if (lastTime.count(got[i].path)) {
            EXPECT_GT(got[i].time, lastTime[got[i].path]) << got[i].path;
        }
        lastTime[got[i].path] = got[i].time;
        presses += got[i].types == "i" && got[i].values[0] == 1;
    }
    EXPECT_EQ(lastTime.size(), 3u);  // /fastrak/sim/tracker/1, tracker/2, controller/1
    EXPECT_GT(presses, 0u);
    EXPECT_NE(out.find(nobody + ": "), std::string::npos) << out;
    EXPECT_NE(out.find("send errors in the last second (Connection refused)"), std::string::npos) << out;
    EXPECT_NE(out.find(gone + ": "), std::string::npos) << out;
    EXPECT_EQ(out.find("(Transport endpoint is not connected)"), std::string::npos) << out;
    const auto counts = finalCounts(out);
    ASSERT_EQ(counts.size(), 4u) << out;
    EXPECT_EQ(counts.at("replaced"), 0u);
    EXPECT_GT(counts.at("errors"), 0u);
    EXPECT_EQ(counts.at("sent") + counts.at("errors"), 3 * want.size());
}

// A TCP receiver that stops reading for seconds: reception keeps its rate, poses of the stalled
// destination are replaced (and reported), and every controller record still arrives, in order.
TEST(HostOsc, StalledTcpReceiverLosesOldPosesButNoPress) {
    Scratch scratch;
    Receiver receiver(LO_TCP);
    ASSERT_TRUE(receiver.ready());
    Process host;
    ASSERT_TRUE(host.start({kHost, "--simulate", "--plain", "--sim-args", kScene, "--duration", "14", "--jsonl",
                            scratch.path("run.jsonl"), "--osc", receiver.url("osc.tcp")},
                           scratch.path("host.out"), scratch.path("host.err")));
    ASSERT_TRUE(hosttest::eventually([&] { return receiver.records().size() > 200; }, 60s))
        << hosttest::readFile(scratch.path("host.out"));
    receiver.pause(true);
    const double pausedFrom = receiver.records().back().time;
    std::this_thread::sleep_for(8s);
    const double pausedUntil = pausedFrom + 8;
    receiver.pause(false);
    const int status = host.wait(60s);
    const std::string out = hosttest::readFile(scratch.path("host.out"));
    ASSERT_EQ(status, 0) << out << hosttest::readFile(scratch.path("host.err"));
    std::this_thread::sleep_for(300ms);

    const auto want = expectedRecords(scratch.path("run.jsonl"));
    const auto got = receiver.records();
    // Reception: as many records a second while the receiver stalled as over the whole run.
    size_t during = 0;
    for (const Record& record : want) during += record.time >= pausedFrom && record.time < pausedUntil;
    const double overall = want.size() / (want.back().time - want.front().time);
    EXPECT_GT(during / 8.0, 0.9 * overall) << during << " records in the 8 s stall, " << overall << " a second in all";

    // Controller records: all of them, in order, some sent while the receiver stalled.
    std::vector<Record> wantPresses, gotPresses;
    for (const Record& record : want) {
        if (record.types == "i") wantPresses.push_back(record);
    }
    for (const Record& record : got) {
        if (record.types == "i") gotPresses.push_back(record);
    }
    ASSERT_EQ(gotPresses.size(), wantPresses.size());
    size_t pressesInStall = 0;
    for (size_t i = 0; i < gotPresses.size(); ++i) {
        EXPECT_TRUE(same(gotPresses[i], wantPresses[i])) << "controller record " << i;
        pressesInStall += wantPresses[i].time >= pausedFrom && wantPresses[i].time < pausedUntil;
    }
    EXPECT_GE(pressesInStall, 10u);

    // Poses: what arrived is the file less the replaced ones, in the file's order.
    const auto counts = finalCounts(out);
    ASSERT_EQ(counts.size(), 4u) << out;
    EXPECT_GT(counts.at("replaced"), 100u);
    EXPECT_EQ(counts.at("dropped"), 0u);
    EXPECT_EQ(counts.at("errors"), 0u);
    EXPECT_EQ(got.size(), counts.at("sent"));
    EXPECT_EQ(got.size() + counts.at("replaced"), want.size());
    size_t next = 0;
    for (const Record& record : got) {
        while (next < want.size() && !same(record, want[next])) ++next;
        ASSERT_LT(next, want.size()) << "a received record out of the file's order: " << record.path << " @"
                                     << record.time;
        ++next;
    }
    EXPECT_NE(out.find("poses replaced in the last second (the destination is slower than the tracker)"),
              std::string::npos)
        << out;
}

// A TCP receiver that stops reading while the stylus changes 200 times a second: the button events
// waiting for it are bounded, the oldest dropped, counted and reported; what arrives keeps the order.
TEST(HostOsc, StalledTcpReceiverBoundsTheButtonEventsWaiting) {
    Scratch scratch;
    Receiver receiver(LO_TCP);
    ASSERT_TRUE(receiver.ready());
    Process host;
    ASSERT_TRUE(host.start(
        {kHost, "--simulate", "--plain", "--sim-args", "--receivers 1 --unpaced --rate 400 --press 1=0.01,0.005",
         "--duration", "18", "--jsonl", scratch.path("run.jsonl"), "--osc", receiver.url("osc.tcp")},
        scratch.path("host.out"), scratch.path("host.err")));
    ASSERT_TRUE(hosttest::eventually([&] { return receiver.records().size() > 200; }, 60s))
        << hosttest::readFile(scratch.path("host.out"));
    receiver.pause(true);
    std::this_thread::sleep_for(12s);
    receiver.pause(false);
    const int status = host.wait(60s);
    const std::string out = hosttest::readFile(scratch.path("host.out"));
    ASSERT_EQ(status, 0) << out << hosttest::readFile(scratch.path("host.err"));
    std::this_thread::sleep_for(300ms);

    std::vector<Record> wantPresses, gotPresses;
    for (const Record& record : expectedRecords(scratch.path("run.jsonl"))) {
        if (record.types == "i") wantPresses.push_back(record);
    }
    for (const Record& record : receiver.records()) {
        if (record.types == "i") gotPresses.push_back(record);
    }
    const auto counts = finalCounts(out);
    ASSERT_EQ(counts.size(), 4u) << out;
    // About 2400 events in the stall against room for 1024 and what the socket buffers hold (some
    // hundreds); without the bound nothing is dropped.
    EXPECT_GT(counts.at("dropped"), 300u);
    EXPECT_EQ(gotPresses.size() + counts.at("dropped"), wantPresses.size());
    size_t next = 0;
    for (const Record& record : gotPresses) {
        while (next < wantPresses.size() && !same(record, wantPresses[next])) ++next;
        ASSERT_LT(next, wantPresses.size()) << "a button event out of order @" << record.time;
        ++next;
    }
    EXPECT_NE(out.find("button events dropped in the last second (the destination has stopped reading)"),
              std::string::npos)
        << out;
}

// Destinations are checked before anything starts: a bad one is status 2, an unreachable one 1.
TEST(HostOsc, BadOrUnreachableDestinationsStopAtStart) {
    Scratch scratch;
    scratch.write("osc.conf",
                  "[host]\nosc osc.udp://127.0.0.1:9000\nosc \"osc.udp://127.0.0.1:99999\"\n[device a]\nport x\n");
    const std::string closed = "osc.tcp://127.0.0.1:" + std::to_string(freeUdpPort());
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--osc", "udp://127.0.0.1:9000"},
         2,
         "udp://127.0.0.1:9000: a destination is osc.udp://HOST:PORT or osc.tcp://HOST:PORT"},
        {{"--osc", "osc.udp://127.0.0.1"}, 2, "osc.udp://127.0.0.1: a destination needs a host and a port"},
        {{"--osc", "osc.udp://:9000"}, 2, "osc.udp://:9000: a destination needs a host and a port"},
        {{"--osc", "osc.udp://no-such-host.invalid:9000"},
         2,
         "osc.udp://no-such-host.invalid:9000: cannot resolve \"no-such-host.invalid\""},
        {{"--config", scratch.path("osc.conf")}, 2, "osc.udp://127.0.0.1:99999: the port is a number from 1 to 65535"},
        {{"--osc", closed}, 1, closed + ": cannot reach it: Connection refused"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kHost, "--simulate", "--csv", scratch.path("out.csv")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process host;
        ASSERT_TRUE(host.start(argv, scratch.path("host.out"), scratch.path("host.err")));
        EXPECT_EQ(host.wait(20s), c.status) << c.args.back();
        EXPECT_NE(hosttest::readFile(scratch.path("host.err")).find("fastrak-host: OSC destination " + c.err),
                  std::string::npos)
            << hosttest::readFile(scratch.path("host.err"));
        EXPECT_NE(access(scratch.path("out.csv").c_str(), F_OK), 0) << c.args.back() << ": started before the check";
    }
}

}  // namespace
