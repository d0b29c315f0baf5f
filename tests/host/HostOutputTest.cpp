// The part every output shares: a build without the library refuses, an output's calls reach
// each of its servers or destinations, with the log of their trouble at most once a second, and
// a receiver's full queue gives way at its oldest end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outputs/HostOutput.h"
#include "outputs/SenderQueue.h"
#include "support/CaptureStdout.h"

#if defined(FASTRAK_HOST_WEB) && !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "outputs/WebGate.h"
#endif

namespace {

using namespace fastrakhost;

struct Calls {
    int started = 0, published = 0, stopped = 0;
};

// An output as built without its library: nothing overrides open().
class UnbuiltOutput : public HostOutput {
public:
    UnbuiltOutput() : HostOutput("test output", "libtest", "TEST", {kSentCount}) {}
};

// An output whose open() adds a part that counts what reaches it.
class TwoPartOutput : public HostOutput {
public:
    TwoPartOutput() : HostOutput("test output", "libtest", "TEST", {kSentCount, kClientsCount}) {}
    bool available() const override { return true; }
    OpenResult open(const std::string& where, std::string&) override {
        addPart(std::unique_ptr<Part>(new Recording(where, calls)));
        return OpenResult::Opened;
    }
    Calls calls;

private:
    class Recording : public Part {
    public:
        Recording(std::string name, Calls& calls) : name_(std::move(name)), calls_(calls) {}
        void start() override { ++calls_.started; }
        void publish(const Sample&) override {
            ++calls_.published;
            ++sent_;
        }
        void stop() override { ++calls_.stopped; }
        void count(OutputTotals& totals) const override {
            totals.sent += sent_;
            totals.clients += 1;
        }
        void reportLines(std::vector<std::string>& lines) override { lines.push_back(name_ + ": trouble"); }

    private:
        std::string name_;
        Calls& calls_;
        uint64_t sent_ = 0;
    };
};

TEST(HostOutputTest, WithoutItsLibraryAnOutputRefusesAndStaysEmpty) {
    UnbuiltOutput output;
    std::string message;
    EXPECT_FALSE(output.available());
    EXPECT_EQ(output.open("127.0.0.1:9000", message), OpenResult::BadAddress);
    EXPECT_EQ(message, "127.0.0.1:9000: this build of fastrak-host has no test output (it was built without libtest)");
    EXPECT_TRUE(output.empty());
    output.start();
    output.publish(Sample());
    output.stop();
    EXPECT_EQ(output.summary(), "");
}

TEST(HostOutputTest, CallsReachEveryPartAndTroubleIsLoggedAtMostOnceASecond) {
    TwoPartOutput output;
    std::string message;
    ASSERT_EQ(output.open("a", message), OpenResult::Opened);
    ASSERT_EQ(output.open("b", message), OpenResult::Opened);
    output.start();
    for (int i = 0; i < 3; ++i) output.publish(Sample());
    output.stop();
    EXPECT_EQ(output.calls.started, 2);
    EXPECT_EQ(output.calls.published, 6);
    EXPECT_EQ(output.calls.stopped, 2);
    EXPECT_EQ(output.summary(), "TEST 6 sent, 2 clients");
    TwoPartOutput single;  // one of a kind: "1 client"
    ASSERT_EQ(single.open("a", message), OpenResult::Opened);
    EXPECT_EQ(single.summary(), "TEST 0 sent, 1 client");

    // Each part's lines go out together; the next report within the second says nothing.
    TwoPartOutput fresh;
    ASSERT_EQ(fresh.open("a", message), OpenResult::Opened);
    ASSERT_EQ(fresh.open("b", message), OpenResult::Opened);
    testsupport::CaptureStdout capture;
    fresh.report();
    fresh.report();
    const std::string logged = capture.finish();
    EXPECT_EQ(testsupport::splitLines(logged).size(), 2u) << logged;
    EXPECT_NE(logged.find("a: trouble"), std::string::npos) << logged;
    EXPECT_NE(logged.find("b: trouble"), std::string::npos) << logged;
}

// A full queue gives way at its old end: an output's pose ring keeps its newest poses, the button
// events their newest events; what stays leaves in the order it came.
TEST(HostOutputTest, AFullSenderQueueDropsItsOldestRecords) {
    for (const Sample::Kind kind : {Sample::Kind::Tracker, Sample::Kind::Controller}) {
        SenderQueue queue(4, 4);
        for (uint32_t i = 0; i < 7; ++i) {
            Sample sample;
            sample.kind = kind;
            sample.output = 1;
            sample.pose[0] = i;
            sample.buttons = i;
            queue.push(sample);
        }
        std::vector<uint32_t> left;
        Sample sample;
        while (queue.pop(sample, std::chrono::milliseconds(0)))
            left.push_back(kind == Sample::Kind::Tracker ? static_cast<uint32_t>(sample.pose[0]) : sample.buttons);
        EXPECT_EQ(left, (std::vector<uint32_t>{3, 4, 5, 6})) << (kind == Sample::Kind::Tracker ? "poses" : "events");
        EXPECT_EQ(queue.replaced() + queue.dropped(), 3u);
    }
}

#if defined(FASTRAK_HOST_WEB) && !defined(_WIN32)
// What a request on a connection of its own brings back before the server closes it.
std::string fetch(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return got;
}

// A request that runs out of memory while its answer is written (the 32-bit host's risk) ends that
// request only: the server answers the next ones.
TEST(HostOutputTest, AWebRequestThatThrowsEndsItselfNotTheServer) {
    WebGate gate(2, 5);
    gate.Get("/big", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain",
                                              [](size_t, httplib::DataSink&) -> bool { throw std::bad_alloc(); });
    });
    gate.Get("/ok",
             [](const httplib::Request&, httplib::Response& response) { response.set_content("fine", "text/plain"); });
    int port = 0;
    std::string reason;
    ASSERT_TRUE(gate.open("127.0.0.1", 0, port, reason)) << reason;
    gate.start();
    for (int round = 0; round < 3; ++round) {
        const std::string big = fetch(port, "/big");  // cut off after its head: no last chunk
        EXPECT_EQ(big.find("\r\n0\r\n\r\n"), std::string::npos) << big;
        const std::string ok = fetch(port, "/ok");
        EXPECT_EQ(ok.rfind("HTTP/1.1 200", 0), 0u) << ok;
        EXPECT_NE(ok.find("fine"), std::string::npos) << ok;
    }
    gate.stop();
}
#endif

}  // namespace
