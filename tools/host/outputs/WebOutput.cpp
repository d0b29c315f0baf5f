// WebOutput: the page, /state and /events over the HTTP library, and the log lines for the page.
#include "outputs/WebOutput.h"

#include <cstdio>

#include "HostLog.h"

#if defined(FASTRAK_HOST_WEB)
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <vector>

#include "outputs/ListenAddress.h"
#include "outputs/PeerLogLimit.h"
#include "outputs/WebGate.h"
#include "outputs/WebPage.h"
#include "recording/Recorder.h"
#include "view/SummaryFilter.h"
#endif

namespace fastrakhost {

WebOutput::WebOutput() : HostOutput("web view", "cpp-httplib", "web", {kClientsCount, kSkippedCount, kDroppedCount}) {}

#if defined(FASTRAK_HOST_WEB)

namespace {

using Clock = std::chrono::steady_clock;

const size_t kRing = 4096;        // records a stream client may fall behind
const size_t kPieceRecords = 32;  // records an /events stream writes at most at once
const size_t kMaxStreams = 8;     // /events clients at once; more are told to come back
const size_t kLogLines = 200;     // log lines kept for the page
const int kStalledSeconds = 5;    // a client whose socket takes nothing this long is dropped

std::string number(const char* pattern, double value) {
    if (!std::isfinite(value)) return "null";
    char text[48];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Standard output passes through on its way out; its last lines stay for the page. Both the host's
// lines and the module's go through std::cout, from any thread, so every call takes the lock; the
// write itself goes on outside it (the next buffer is C's stdout, locked on its own), so a standard
// output that blocks never holds the page's readers.
class LogTail : public std::streambuf {
public:
    explicit LogTail(std::streambuf* next) : next_(next) {}

    std::string json(uint64_t after) {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<std::string> held;
        summaries_.releaseIfHeldFor(std::chrono::seconds(2), held);
        keep(held);
        std::string out = "[";
        for (const auto& line : lines_) {
            if (line.first <= after) continue;
            out += (out.size() > 1 ? ",{\"n\":" : "{\"n\":") + std::to_string(line.first) +
                   ",\"text\":" + jsonString(line.second) + "}";
        }
        return out + "]";
    }

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        const char ch = static_cast<char>(c);
        {
            std::lock_guard<std::mutex> hold(mutex_);
            take(&ch, 1);
        }
        return next_->sputc(ch);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            take(s, static_cast<size_t>(n));
        }
        return next_->sputn(s, n);
    }
    int sync() override { return next_->pubsync(); }

private:
    void take(const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (s[i] == '\n') {
                std::vector<std::string> shown;
                summaries_.take(partial_, shown);
                keep(shown);
                partial_.clear();
            } else if (s[i] != '\r' && partial_.size() < 1000) {
                partial_ += s[i];
            }
        }
    }
    void keep(const std::vector<std::string>& shown) {
        for (const std::string& line : shown) {
            lines_.emplace_back(++count_, line);
            if (lines_.size() > kLogLines) lines_.pop_front();
        }
    }

    std::streambuf* next_;
    std::mutex mutex_;
    std::deque<std::pair<uint64_t, std::string> > lines_;
    std::string partial_;
    SummaryFilter summaries_;  // a device's summary once, as in the terminal's log
    uint64_t count_ = 0;
};

// Installed once, before the host starts any thread, and never taken out: swapping std::cout's
// buffer while other threads write through it is a data race. It outlives every write (never freed).
LogTail& logTail() {
    static LogTail* const tail = [] {
        LogTail* made = new LogTail(std::cout.rdbuf());
        std::cout.rdbuf(made);
        return made;
    }();
    return *tail;
}

const char* const kStateMark = "<!--state-->";

class Server final : public HostOutput::Part {
public:
    using Sources = WebOutput::Sources;

    // Workers: every /events stream holds one, the rest answer the page and /state.
    explicit Server(std::shared_ptr<const Sources> sources)
        : sources_(std::move(sources)), http_(kMaxStreams + 8, kStalledSeconds), ring_(kRing) {}
    // Before the ring and the counters go: the stream threads read them.
    ~Server() override { stop(); }

    bool bind(const std::string& host, int port, int& bound, std::string& reason) {
        routes();
        if (!http_.open(host, port, bound, reason)) return false;
        logTail();
        return true;
    }

    void start() override { http_.start(); }

    void publish(const Sample& sample) override {
        bool wake;
        {
            std::lock_guard<std::mutex> hold(ringMutex_);
            ring_[next_ % kRing] = sample;
            ++next_;
            wake = streamsWaiting_ > 0;
        }
        if (wake) arrived_.notify_all();  // at most kMaxStreams threads, and only those asleep
    }

    void stop() override {
        {
            std::lock_guard<std::mutex> hold(ringMutex_);
            stopping_ = true;
        }
        arrived_.notify_all();
        http_.stop();
    }

    void count(OutputTotals& totals) const override {
        {
            std::lock_guard<std::mutex> hold(ringMutex_);
            totals.sent += next_;
        }
        totals.skipped += skipped_;
        totals.dropped += dropped_;
        totals.clients += streams_;
    }

    void reportLines(std::vector<std::string>& lines) override {
        const uint64_t skipped = skipped_;
        if (skipped > reportedSkipped_) {
            lines.push_back("web view: " + std::to_string(skipped - reportedSkipped_) +
                            " records skipped in the last second by /events clients slower than the tracker");
        }
        reportedSkipped_ = skipped;
    }

private:
    void routes() {
        http_.Get("/state", [this](const httplib::Request& request, httplib::Response& response) {
            uint64_t after = 0;
            if (request.has_param("log_after"))
                after = std::strtoull(request.get_param_value("log_after").c_str(), nullptr, 10);
            response.set_header("Cache-Control", "no-store");
            response.set_content(state(after), "application/json");
        });
        http_.Get("/events",
                  [this](const httplib::Request& request, httplib::Response& response) { events(request, response); });
        http_.Get(R"(/([A-Za-z0-9_.\-/]*))", [this](const httplib::Request& request, httplib::Response& response) {
            std::string path = request.matches[1];
            if (path.empty()) path = "index.html";
            size_t count = 0;
            const WebFile* files = webPageFiles(count);
            for (size_t i = 0; i < count; ++i) {
                if (path != files[i].path) continue;
                std::string content(reinterpret_cast<const char*>(files[i].data), files[i].size);
                // The page arrives with the state of now, so it shows the outputs as soon as it loads.
                const size_t mark = content.find(kStateMark);
                if (mark != std::string::npos) {
                    // No '<' at all inside the script block: "</script>" would end it and "<!--" can
                    // make the HTML parser swallow the rest of the page. In JSON '<' is only in strings.
                    std::string json = state(0);
                    for (size_t at = 0; (at = json.find('<', at)) != std::string::npos; at += 6)
                        json.replace(at, 1, "\\u003c");
                    content.replace(mark, std::strlen(kStateMark),
                                    "<script>window.initialState = " + json + ";</script>");
                    response.set_header("Cache-Control", "no-store");
                }
                response.set_content(content, files[i].type);
                return;
            }
            response.status = 404;
            response.set_content("not found\n", "text/plain");
        });
    }

    std::string state(uint64_t logAfter) const {
        const SteadyTime now = Clock::now();
        const PoseBoard& board = *sources_->board;
        const auto rows = board.rows();
        const auto states = board.states(now);
        const auto figures = sources_->stats->window(now);
        // The total from the same copy of the rows as the devices' counts, so they always add up: a
        // record published between two reads of the board would make them differ.
        uint64_t allRecords = 0;
        for (const auto& row : rows) allRecords += row.second.total;
        std::string out = "{\"host_time\":" + number("%.6f", wallClockSeconds()) +
                          ",\"records\":" + std::to_string(allRecords) +
                          ",\"window_s\":" + number("%g", OutputStats::kWindowSeconds) + ",\"devices\":[";
        bool first = true;
        for (const auto& device : states) {
            uint64_t records = 0;
            size_t outputs = 0;
            for (const auto& row : rows) {
                if (row.second.last.device != device.first || row.second.total == 0) continue;
                records += row.second.total;
                ++outputs;
            }
            // The device's own state: a receiver lying still publishes nothing and is not silent.
            const std::string hint = board.hint(device.first);
            const DelayFigures delays = board.delays(device.first);
            out += std::string(first ? "" : ",") + "{\"name\":" + jsonString(device.first) + ",\"state\":\"" +
                   stateName(device.second) + "\",\"records\":" + std::to_string(records) +
                   ",\"outputs\":" + std::to_string(outputs) +
                   ",\"delay_ms\":" + (delays.records ? number("%.2f", delays.median * 1000) : std::string("null")) +
                   ",\"jitter_ms\":" + (delays.records ? number("%.2f", delays.spread * 1000) : std::string("null")) +
                   ",\"damaged_frames\":" + std::to_string(board.notes(device.first).damagedFrames) +
                   ",\"hint\":" + (hint.empty() ? std::string("null") : jsonString(hint)) + "}";
            first = false;
        }
        out += "],\"outputs\":[";
        first = true;
        for (const auto& row : rows) {
            if (row.second.total == 0) continue;  // claimed, nothing yet
            const Sample& s = row.second.last;
            out += std::string(first ? "" : ",") + "{\"device\":" + jsonString(s.device) +
                   ",\"output\":" + std::to_string(s.output) + ",\"kind\":\"" + kindName(s.kind) +
                   "\",\"station\":" + (s.station == 0 ? std::string("null") : std::to_string(s.station)) +
                   ",\"host_time\":" + number("%.6f", s.hostTime) +
                   ",\"measured_time\":" + number("%.6f", s.measuredTime);
            first = false;
            if (s.kind == Sample::Kind::Tracker) {
                out += ",\"pose\":[";
                for (int i = 0; i < 6; ++i) out += (i ? "," : "") + number("%.5f", s.pose[i]);
            } else {
                out += ",\"buttons\":[";
                for (uint32_t n = 1; n <= s.buttonCount; ++n)
                    out += std::string(n > 1 ? "," : "") + ((s.buttons >> (n - 1)) & 1u ? "1" : "0");
            }
            out += "],\"rate_hz\":" + number("%.0f", PoseBoard::rate(row.second, now)) +
                   ",\"age_ms\":" + number("%.1f", std::chrono::duration<double>(now - s.arrived).count() * 1000) +
                   ",\"records\":" + std::to_string(row.second.total);
            const auto found = figures.find(row.first);
            if (found != figures.end()) {
                const OutputFigures& f = found->second;
                const bool tracker = s.kind == Sample::Kind::Tracker;
                out += ",\"stats\":{\"records\":" + std::to_string(f.records) +
                       ",\"rate_hz\":" + number("%.2f", f.rateHz) +
                       ",\"longest_gap_ms\":" + number("%.1f", f.longestGapMs) +
                       ",\"still\":" + (f.still ? "true" : "false") + ",\"still_s\":" + number("%.1f", f.stillSeconds) +
                       ",\"position_noise_mm\":" + (tracker && f.still ? number("%.4f", f.positionNoiseMm) : "null") +
                       ",\"angle_noise_deg\":" + (tracker && f.still ? number("%.4f", f.angleNoiseDeg) : "null") + "}";
            }
            out += "}";
        }
        OutputTotals t;
        count(t);
        out += "],\"streams\":{\"clients\":" + std::to_string(t.clients) + ",\"skipped\":" + std::to_string(t.skipped) +
               ",\"dropped\":" + std::to_string(t.dropped) + "},\"log\":" + logTail().json(logAfter) + "}";
        return out;
    }

    // One stream of Server-Sent Events: from the record published next on, one "data:" line each.
    void events(const httplib::Request& request, httplib::Response& response) {
        if (streams_.fetch_add(1) >= kMaxStreams) {
            --streams_;
            response.status = 503;
            response.set_header("Retry-After", "5");
            response.set_content("too many /events clients\n", "text/plain");
            return;
        }
        const std::string peer = request.remote_addr + ":" + std::to_string(request.remote_port);
        const std::string follows = log_.pass(request.remote_addr, "web view: " + peer + " follows /events (" +
                                                                       std::to_string(streams_.load()) + " now)");
        if (!follows.empty()) hostInfo(follows);
        // ?backlog=S starts S seconds back (up to 10, as far as the ring holds), so a page opened now
        // has its trails and plot at once.
        double backlog = 0;
        if (request.has_param("backlog")) backlog = std::strtod(request.get_param_value("backlog").c_str(), nullptr);
        if (!(backlog > 0)) backlog = 0;
        const SteadyTime since = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(std::min(backlog, 10.0)));
        uint64_t cursor;
        {
            std::lock_guard<std::mutex> hold(ringMutex_);
            cursor = next_;
            const uint64_t oldest = next_ > kRing ? next_ - kRing : 0;
            while (backlog > 0 && cursor > oldest && ring_[(cursor - 1) % kRing].arrived >= since) --cursor;
        }
        auto stalled = std::make_shared<bool>(false);
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor, stalled, lastWrite = Clock::now()](size_t, httplib::DataSink& sink) mutable {
                // Woken by the next record: what came in meanwhile goes with it in one write. The
                // wait is bounded so that a client gone away is noticed while nothing flows.
                {
                    std::unique_lock<std::mutex> hold(ringMutex_);
                    ++streamsWaiting_;
                    arrived_.wait_for(hold, std::chrono::milliseconds(250),
                                      [&] { return next_ != cursor || stopping_; });
                    --streamsWaiting_;
                }
                if (stopping_) return false;
                std::vector<Sample> chunk;
                std::string batch;
                for (;;) {
                    {
                        std::lock_guard<std::mutex> hold(ringMutex_);
                        if (next_ - cursor > kRing) {
                            skipped_ += next_ - kRing - cursor;
                            cursor = next_ - kRing;
                        }
                        // A bounded piece at a time: the lock is the reception threads' too, and a
                        // piece must go out whole within the stall limit to a client that reads
                        // slowly but steadily (32 records are about 6 KB).
                        const uint64_t end = std::min<uint64_t>(next_, cursor + kPieceRecords);
                        chunk.clear();
                        for (; cursor < end; ++cursor) chunk.push_back(ring_[cursor % kRing]);
                    }
                    if (chunk.empty()) break;
                    batch.clear();
                    for (const Sample& sample : chunk) {
                        std::string line = Recorder::jsonLine(sample);
                        line.pop_back();
                        batch += "data: " + line + "\n\n";
                    }
                    if (!write(sink, batch, *stalled)) return false;
                    lastWrite = Clock::now();
                }
                // A comment now and then, so a client that went away is noticed while nothing flows.
                if (Clock::now() - lastWrite > std::chrono::seconds(2)) {
                    lastWrite = Clock::now();
                    if (!write(sink, ": idle\n\n", *stalled)) return false;
                }
                return true;
            },
            [this, peer, address = request.remote_addr, stalled](bool) {
                --streams_;
                if (*stalled) {
                    ++dropped_;
                    hostWarning("web view: " + peer + " dropped: it took nothing for " +
                                std::to_string(kStalledSeconds) + " s");
                } else if (!stopping_) {
                    const std::string left = log_.pass(address, "web view: " + peer + " left /events");
                    if (!left.empty()) hostInfo(left);
                }
            });
    }

    static bool write(httplib::DataSink& sink, const std::string& text, bool& stalled) {
        const auto started = Clock::now();
        if (sink.write(text.data(), text.size())) return true;
        stalled = Clock::now() - started >= std::chrono::milliseconds(kStalledSeconds * 1000 - 500);
        return false;
    }

    std::shared_ptr<const Sources> sources_;  // the board and statistics that /state reads
    PeerLogLimit log_;                        // before the server, whose workers log through it
    WebGate http_;

    mutable std::mutex ringMutex_;
    std::condition_variable arrived_;  // a record was published, or the server stops
    std::vector<Sample> ring_;
    uint64_t next_ = 0;          // the number of records published; record k sits at ring_[k % kRing]
    size_t streamsWaiting_ = 0;  // stream threads asleep in arrived_

    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> streams_{0}, skipped_{0}, dropped_{0};
    uint64_t reportedSkipped_ = 0;
};

}  // namespace

OpenResult WebOutput::open(const std::string& where, std::string& message) {
    std::string host, port;
    if (!splitListenAddress(where, kNoDefaultPort, host, port, message)) return OpenResult::BadAddress;
    std::unique_ptr<Server> server(new Server(sources_));
    int bound = 0;
    std::string reason;
    if (!server->bind(host, std::stoi(port), bound, reason)) {
        message = where + ": cannot listen there: " + reason;
        return OpenResult::CannotOpen;
    }
    addPart(std::move(server));
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    url_ = "http://" + shown + ":" + std::to_string(bound) + "/";
    return OpenResult::Opened;
}

#endif

}  // namespace fastrakhost
