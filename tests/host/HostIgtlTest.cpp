// fastrak-host's OpenIGTLink server end to end: the built program on fastrak-sim, clients on 127.0.0.1.
#include <arpa/inet.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>
#include <igtlStringMessage.h>
#include <igtlTransformMessage.h>
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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HostProcess.h"

namespace {

using namespace std::chrono_literals;
using hosttest::Process;
using hosttest::Scratch;

const std::string kHost = FASTRAK_HOST_PROGRAM;

// One message as it crossed: type, device name, time stamp in seconds since 1970, and the
// TRANSFORM's 4x4 matrix (row-major) or the STRING's text.
struct Message {
    std::string type, name, text;
    double time = 0;
    float matrix[4][4] = {};
};

// CRC-64 ECMA-182, as the protocol's header carries it: bit by bit, nothing borrowed from the library.
uint64_t crc64(const unsigned char* data, size_t size) {
    uint64_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint64_t>(data[i]) << 56;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & (1ull << 63)) ? (crc << 1) ^ 0x42F0E1EBA9EA3693ull : crc << 1;
    }
    return crc;
}

uint64_t bigEndian(const unsigned char* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    return value;
}

// A client that reads until the host closes, on its own thread. Library clients unpack with the
// OpenIGTLink library (CRC checked by it); raw clients parse the bytes and check header and CRC
// themselves. pause() stops a raw client reading, with a small receive window.
class Client {
public:
    enum class Kind { Library, Raw };
    Client(Kind kind, int port) : kind_(kind) {
        if (kind == Kind::Library) {
            socket_ = igtl::ClientSocket::New();
            connected_ = socket_->ConnectToServer("127.0.0.1", port) == 0;
            thread_ = std::thread([this] { readWithLibrary(); });
            return;
        }
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        const int window = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        thread_ = std::thread([this] { readRaw(); });
    }
    ~Client() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return connected_; }
    bool ended() const { return ended_; }
    void pause(bool value) { paused_ = value; }
    // 127.0.0.1:PORT as the host names this client.
    std::string peer() const {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
        return "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
    }
    std::vector<Message> messages() {
        std::lock_guard<std::mutex> hold(mutex_);
        return messages_;
    }
    std::vector<std::string> faults() {
        std::lock_guard<std::mutex> hold(mutex_);
        return faults_;
    }

private:
    void add(const Message& message) {
        std::lock_guard<std::mutex> hold(mutex_);
        messages_.push_back(message);
    }
    void fault(const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex_);
        faults_.push_back(text);
    }

    void readWithLibrary() {
        while (connected_) {
            igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
            header->InitPack();
            if (socket_->Receive(header->GetPackPointer(), header->GetPackSize()) != header->GetPackSize()) break;
            header->Unpack();
            Message message;
            message.type = header->GetDeviceType();
            message.name = header->GetDeviceName();
            unsigned int seconds = 0, fraction = 0;
            header->GetTimeStamp(&seconds, &fraction);
            message.time = seconds + fraction / 4294967296.0;
            igtl::MessageBase::Pointer body;
            igtl::TransformMessage::Pointer transform;
            igtl::StringMessage::Pointer text;
            if (message.type == "TRANSFORM") {
                body = transform = igtl::TransformMessage::New();
            } else if (message.type == "STRING") {
                body = text = igtl::StringMessage::New();
            } else {
                fault("unexpected type " + message.type);
                break;
            }
            body->SetMessageHeader(header);
            body->AllocatePack();
            if (socket_->Receive(body->GetPackBodyPointer(), body->GetPackBodySize()) != body->GetPackBodySize()) break;
            if ((body->Unpack(1) & igtl::MessageHeader::UNPACK_BODY) == 0) {
                fault("CRC or body of " + message.name + " refused by the library");
                continue;
            }
            if (transform) {
                igtl::Matrix4x4 m;
                transform->GetMatrix(m);
                std::memcpy(message.matrix, m, sizeof m);
            } else {
                message.text = text->GetString();
            }
            add(message);
        }
        ended_ = true;
    }

    void readRaw() {
        std::vector<unsigned char> bytes;
        unsigned char chunk[4096];
        while (connected_) {
            if (paused_) {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + got);
            size_t used = 0;
            while (bytes.size() - used >= 58) {
                const unsigned char* h = bytes.data() + used;
                const uint64_t bodySize = bigEndian(h + 42, 8);
                if (bytes.size() - used < 58 + bodySize) break;
                parse(h, bodySize);
                used += 58 + bodySize;
            }
            bytes.erase(bytes.begin(), bytes.begin() + used);
        }
        if (!bytes.empty()) fault(std::to_string(bytes.size()) + " bytes of a message cut short");
        ended_ = true;
    }

    // Header: version (2), type (12), name (20), time stamp (8), body size (8), CRC (8), big-endian.
    void parse(const unsigned char* h, uint64_t bodySize) {
        const unsigned char* body = h + 58;
        Message message;
        message.type.assign(reinterpret_cast<const char*>(h + 2), strnlen(reinterpret_cast<const char*>(h + 2), 12));
        message.name.assign(reinterpret_cast<const char*>(h + 14), strnlen(reinterpret_cast<const char*>(h + 14), 20));
        const uint64_t stamp = bigEndian(h + 34, 8);
        message.time = (stamp >> 32) + (stamp & 0xffffffffu) / 4294967296.0;
        std::string problem;
        if (bigEndian(h, 2) != 1) problem = "version " + std::to_string(bigEndian(h, 2));
        for (size_t i = 2 + message.type.size(); i < 14; ++i) problem += h[i] != 0 ? " type not NUL-padded" : "";
        for (size_t i = 14 + message.name.size(); i < 34; ++i) problem += h[i] != 0 ? " name not NUL-padded" : "";
        if (bigEndian(h + 50, 8) != crc64(body, bodySize)) problem += " CRC";
        if (message.type == "TRANSFORM") {
            if (bodySize != 48) problem += " body of " + std::to_string(bodySize) + " bytes";
            // Twelve float32: the rotation column by column, then the translation.
            for (int k = 0; k < 12 && bodySize == 48; ++k) {
                const uint32_t word = static_cast<uint32_t>(bigEndian(body + 4 * k, 4));
                float value;
                std::memcpy(&value, &word, 4);
                message.matrix[k % 3][k / 3] = value;
            }
            message.matrix[3][3] = 1;
        } else if (message.type == "STRING") {
            const uint64_t encoding = bigEndian(body, 2), length = bigEndian(body + 2, 2);
            if (encoding != 3 || length + 4 != bodySize) problem += " string encoding or length";
            message.text.assign(reinterpret_cast<const char*>(body + 4), bodySize - 4);
        } else {
            problem += " type " + message.type;
        }
        if (!problem.empty()) fault(message.name + ":" + problem);
        add(message);
    }

    Kind kind_;
    igtl::ClientSocket::Pointer socket_;
    int fd_ = -1;
    bool connected_ = false;
    std::atomic<bool> ended_{false}, paused_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Message> messages_;
    std::vector<std::string> faults_;
};

// The port from the host's "OpenIGTLink server listening on 127.0.0.1:PORT" line; 0 if none came.
int serverPort(const std::string& outPath) {
    std::smatch found;
    std::string out;
    hosttest::eventually(
        [&] {
            out = hosttest::readFile(outPath);
            return std::regex_search(out, found, std::regex("OpenIGTLink server listening on 127\\.0\\.0\\.1:(\\d+)"));
        },
        20s);
    return found.empty() ? 0 : std::stoi(found[1]);
}

using Matrix = std::array<std::array<double, 3>, 3>;
Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
    return c;
}
// A right-handed turn by degrees about axis 0 (x), 1 (y) or 2 (z).
Matrix turn(int axis, double degrees) {
    const double c = std::cos(degrees * M_PI / 180), s = std::sin(degrees * M_PI / 180);
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    Matrix m{};
    m[axis][axis] = 1;
    m[a][a] = m[b][b] = c;
    m[a][b] = -s;
    m[b][a] = s;
    return m;
}

// What the JSON lines file says each message must be. The emulated device gives CAVE angles (the
// module's default): the tracker measures in the alignment frame the module sets, whose axes are
// (0,0,-1), (1,0,0) and (0,-1,0) in the tracker's, and the module turns azimuth and roll round,
// so the attitude in the output axes is A Rz(-azimuth) Ry(elevation) Rx(-roll).
std::vector<Message> expectedMessages(const std::string& path) {
    std::vector<Message> messages;
    for (const std::string& line : hosttest::lines(hosttest::readFile(path))) {
        const auto json = nlohmann::json::parse(line);
        const bool tracker = json["kind"] == "tracker";
        Message message;
        message.type = tracker ? "TRANSFORM" : "STRING";
        message.name =
            json["device"].get<std::string>() + (tracker ? "/T" : "/C") + std::to_string(json["output"].get<int>());
        message.time = json["measured_time"].get<double>();
        if (tracker) {
            const auto pose = json["pose"].get<std::vector<double>>();
            const Matrix alignment{{{0, 1, 0}, {0, 0, -1}, {-1, 0, 0}}};
            const Matrix r =
                multiply(alignment, multiply(multiply(turn(2, -pose[3]), turn(1, pose[4])), turn(0, -pose[5])));
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) message.matrix[i][j] = static_cast<float>(r[i][j]);
                message.matrix[i][3] = static_cast<float>(pose[i] * 304.8);
            }
            message.matrix[3][3] = 1;
        } else {
            message.text = json["buttons"][0].get<int>() == 1 ? "pressed" : "released";
        }
        messages.push_back(message);
    }
    return messages;
}

::testing::AssertionResult same(const Message& got, const Message& want) {
    bool equal = got.type == want.type && got.name == want.name && got.text == want.text &&
                 std::fabs(got.time - want.time) < 2e-6;
    for (int i = 0; equal && i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            equal = equal && std::fabs(got.matrix[i][j] - want.matrix[i][j]) <= (j == 3 ? 0.01 : 1e-4);
    }
    if (equal) return ::testing::AssertionSuccess();
    auto text = [](const Message& m) {
        std::string s = m.type + " " + m.name + " @" + std::to_string(m.time) + " " + m.text;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 4; ++j) s += " " + std::to_string(m.matrix[i][j]);
            s += ";";
        }
        return s;
    };
    return ::testing::AssertionFailure() << "got " << text(got) << "\nwant " << text(want);
}

const std::string kScene =
    "--receivers 1,2 --rate 240 --scene 1=circle:x=12,y=-10,z=4,radius=5,period=4 "
    "--scene 2=eight:x=20,y=-12,z=6,radius=4,period=6 --press 1=0.5,0.2";

// Three clients at once, two on the library and one reading raw bytes, receive every record of the
// run as the JSON lines file has it, in order; a fourth that leaves in the middle of a message
// disturbs nobody (its line is held back: one line per client address per 10 s); a 33rd is closed.
TEST(HostIgtl, ThreeClientsReceiveWhatTheJsonLinesFileHolds) {
    Scratch scratch;
    Process host;
    ASSERT_TRUE(host.start({kHost, "--simulate", "--plain", "--sim-args", kScene, "--count", "700", "--jsonl",
                            scratch.path("run.jsonl"), "--igtl", "0"},
                           scratch.path("host.out"), scratch.path("host.err")));
    const int port = serverPort(scratch.path("host.out"));
    ASSERT_GT(port, 0) << hosttest::readFile(scratch.path("host.out"));
    std::vector<std::unique_ptr<Client>> clients;
    for (Client::Kind kind : {Client::Kind::Library, Client::Kind::Library, Client::Kind::Raw}) {
        clients.emplace_back(new Client(kind, port));
        ASSERT_TRUE(clients.back()->connected());
    }
    {
        // Takes part of a message, then closes with more unread: the connection is reset while
        // the host is sending.
        const int leaver = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(leaver, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        // 32 clients at most: with 28 more the next one is closed unserved.
        std::vector<int> more;
        for (int i = 0; i <= 28; ++i) {
            more.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            ASSERT_EQ(connect(more.back(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        }
        // The kernel may hand over a burst out of order, so any one of them may be the 33rd.
        const timeval limit{5, 0};
        int unserved = 0;
        for (const int fd : more) {
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            char scrap;
            unserved += recv(fd, &scrap, 1, 0) == 0;
        }
        EXPECT_EQ(unserved, 1) << "not one client beyond 32 closed unserved";
        for (const int fd : more) close(fd);
        ASSERT_TRUE(hosttest::eventually([&] { return clients[0]->messages().size() > 50; }, 60s))
            << hosttest::readFile(scratch.path("host.out"));
        unsigned char part[30];
        EXPECT_EQ(recv(leaver, part, sizeof part, MSG_WAITALL), 30);
        std::this_thread::sleep_for(100ms);
        close(leaver);
    }
    const int status = host.wait(90s);
    const std::string out = hosttest::readFile(scratch.path("host.out"));
    ASSERT_EQ(status, 0) << out << hosttest::readFile(scratch.path("host.err"));
    for (auto& client : clients) ASSERT_TRUE(hosttest::eventually([&] { return client->ended(); }, 5s));

    const auto want = expectedMessages(scratch.path("run.jsonl"));
    ASSERT_GE(want.size(), 700u);
    size_t presses = 0;
    for (const Message& message : want) presses += message.text == "pressed";
    EXPECT_GT(presses, 0u);
    for (size_t c = 0; c < clients.size(); ++c) {
        SCOPED_TRACE("client " + std::to_string(c));
        EXPECT_TRUE(clients[c]->faults().empty()) << clients[c]->faults().front();
        const auto got = clients[c]->messages();
        ASSERT_EQ(got.size(), want.size()) << out;
        for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(same(got[i], want[i])) << "message " << i;
    }
    std::smatch summary;
    ASSERT_TRUE(std::regex_search(
        out, summary, std::regex("stopped; \\d+ records; IGTL (\\d+) sent, 0 replaced, 0 dropped, 0 clients")))
        << out;
    EXPECT_GE(std::stoull(summary[1]), 3 * want.size());
}

// A client that stops reading for 15 s: reception keeps its rate, the other client gets every
// record, the stalled one is let go after 10 s behind with a log line, and when it connects again
// it is served again.
TEST(HostIgtl, ClientThatStopsReadingIsLetGoWithoutSlowingAnything) {
    Scratch scratch;
    Process host;
    ASSERT_TRUE(host.start({kHost, "--simulate", "--plain", "--sim-args", kScene, "--duration", "22", "--jsonl",
                            scratch.path("run.jsonl"), "--igtl", "0"},
                           scratch.path("host.out"), scratch.path("host.err")));
    const int port = serverPort(scratch.path("host.out"));
    ASSERT_GT(port, 0) << hosttest::readFile(scratch.path("host.out"));
    Client steady(Client::Kind::Library, port), stalled(Client::Kind::Raw, port);
    ASSERT_TRUE(steady.connected() && stalled.connected());
    ASSERT_TRUE(hosttest::eventually([&] { return stalled.messages().size() > 200; }, 60s))
        << hosttest::readFile(scratch.path("host.out"));
    stalled.pause(true);
    const double pausedFrom = stalled.messages().back().time;
    std::this_thread::sleep_for(15s);
    stalled.pause(false);
    EXPECT_TRUE(hosttest::eventually([&] { return stalled.ended(); }, 5s)) << "the stalled client was not let go";
    Client again(Client::Kind::Raw, port);
    ASSERT_TRUE(again.connected());
    const int status = host.wait(60s);
    const std::string out = hosttest::readFile(scratch.path("host.out"));
    ASSERT_EQ(status, 0) << out << hosttest::readFile(scratch.path("host.err"));
    ASSERT_TRUE(hosttest::eventually([&] { return steady.ended() && again.ended(); }, 5s));

    const auto want = expectedMessages(scratch.path("run.jsonl"));
    size_t during = 0;
    for (const Message& message : want) during += message.time >= pausedFrom && message.time < pausedFrom + 15;
    const double overall = want.size() / (want.back().time - want.front().time);
    EXPECT_GT(during / 15.0, 0.9 * overall)
        << during << " records in the 15 s stall, " << overall << " a second in all";

    const auto got = steady.messages();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(same(got[i], want[i])) << "message " << i;
    // The stalled and the returning client: whole messages, each one of the file's, in its order.
    for (Client* client : {&stalled, &again}) {
        EXPECT_TRUE(client->faults().empty()) << client->faults().front();
        const auto part = client->messages();
        EXPECT_GT(part.size(), 100u);
        size_t next = 0;
        for (const Message& message : part) {
            while (next < want.size() && !same(message, want[next])) ++next;
            ASSERT_LT(next, want.size()) << "a message out of the file's order: " << message.name << " @"
                                         << message.time;
            ++next;
        }
    }
    EXPECT_GT(again.messages().front().time, pausedFrom + 10);
    EXPECT_NE(out.find("OpenIGTLink client " + stalled.peer() + " has taken nothing for 10 s; disconnected"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("OpenIGTLink client " + stalled.peer() + ": "), std::string::npos)
        << "no replaced poses reported\n"
        << out;
}

// The attitude in the output axes, checked against receivers the emulator turns 90 degrees about
// each of the tracker's axes, with CAVE angles (the default) and with the tracker's own; the server
// comes from the file's igtl line.
TEST(HostIgtl, ReceiverTurnedAboutEachAxisGivesItsMatrix) {
    Scratch scratch;
    scratch.write("axes.conf",
                  "[host]\nigtl 0\n[device cave]\nport com1\nsensors 1 1 1 0\n[device own]\nport com2\nsensors 1 1 1 "
                  "0\ncavecoord off\n");
    Process host;
    ASSERT_TRUE(host.start({kHost, "--config", scratch.path("axes.conf"), "--simulate", "--plain", "--sim-args",
                            "--receivers 1,2,3 --scene 1=still:az=90 --scene 2=still:el=90 --scene 3=still:roll=90"},
                           scratch.path("host.out"), scratch.path("host.err")));
    const int port = serverPort(scratch.path("host.out"));
    ASSERT_GT(port, 0) << hosttest::readFile(scratch.path("host.out"));
    Client client(Client::Kind::Raw, port);
    ASSERT_TRUE(client.connected());
    // A receiver standing still is published once: stop when all six outputs have been.
    auto outputsSeen = [&] {
        std::set<std::string> names;
        for (const Message& message : client.messages()) names.insert(message.name);
        return names.size();
    };
    EXPECT_TRUE(hosttest::eventually([&] { return outputsSeen() >= 6; }, 60s));
    host.signal(SIGINT);
    ASSERT_EQ(host.wait(60s), 0) << hosttest::readFile(scratch.path("host.out"));
    ASSERT_TRUE(hosttest::eventually([&] { return client.ended(); }, 5s));
    std::map<std::string, Message> last;
    for (const Message& message : client.messages()) last[message.name] = message;
    // Columns are the receiver's x, y and z axes in the output axes (the tracker's, for both).
    const struct {
        const char* what;
        float rotation[3][3];
    } turns[] = {
        {"T1", {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}},  // 90 degrees about z
        {"T2", {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}}},  // about y
        {"T3", {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}},  // about x
    };
    for (const std::string device : {"cave/", "own/"}) {
        for (size_t t = 0; t < 3; ++t) {
            // The device's outputs follow on: "own" has tracker outputs 4 to 6.
            const std::string name = device + "T" + std::to_string(t + 1 + (device == "own/" ? 3 : 0));
            ASSERT_EQ(last.count(name), 1u) << name;
            const Message& m = last[name];
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j)
                    EXPECT_NEAR(m.matrix[i][j], turns[t].rotation[i][j], 1e-4) << name << " [" << i << "][" << j << "]";
            }
        }
    }
}

// Where the server cannot be is found before anything starts: a bad address is status 2, an
// address in use 1.
TEST(HostIgtl, BadOrBusyAddressesStopAtStart) {
    Scratch scratch;
    scratch.write("igtl.conf", "[host]\nigtl \"\"\n[device a]\nport x\n");
    const int busy = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    getsockname(busy, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string busyPort = std::to_string(ntohs(address.sin_port));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--igtl", "65536"}, 2, "OpenIGTLink server 65536: the port is a number from 0 to 65535"},
        {{"--igtl", "localhost:"}, 2, "OpenIGTLink server localhost:: the port is a number"},
        {{"--igtl", "::1:18944"}, 2, "OpenIGTLink server ::1:18944: an IPv6 address is written [ADDR]:PORT"},
        {{"--igtl", "no-such-host.invalid:18944"}, 2, "OpenIGTLink server no-such-host.invalid:18944: cannot resolve"},
        {{"--igtl", "no-such-host.invalid"},
         2,
         "no-such-host.invalid: cannot resolve \"no-such-host.invalid\""},  // port 18944
        {{"--igtl", "[no-such-host.invalid]"},
         2,
         "[no-such-host.invalid]: cannot resolve \"no-such-host.invalid\""},  // port 18944
        {{"--config", scratch.path("igtl.conf")}, 2, "igtl.conf:2: \"igtl\" needs [ADDR:]PORT"},
        {{"--igtl", "127.0.0.1:" + busyPort},
         1,
         "OpenIGTLink server 127.0.0.1:" + busyPort + ": cannot listen there: Address already in use"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kHost, "--simulate", "--csv", scratch.path("out.csv")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process host;
        ASSERT_TRUE(host.start(argv, scratch.path("host.out"), scratch.path("host.err")));
        EXPECT_EQ(host.wait(20s), c.status) << c.args.back();
        EXPECT_NE(hosttest::readFile(scratch.path("host.err")).find(c.err), std::string::npos)
            << hosttest::readFile(scratch.path("host.err"));
        EXPECT_NE(access(scratch.path("out.csv").c_str(), F_OK), 0) << c.args.back() << ": started before the check";
    }
    close(busy);
}

}  // namespace
