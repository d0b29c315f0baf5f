// Scenes, presses, CSV trajectories, the attitude and frame arithmetic, option strings, JSON lines.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "Motion.h"
#include "SimLog.h"
#include "SimMath.h"
#include "SimSpec.h"

namespace {

using namespace fastraksim;

TEST(SimMotion, ScenesMoveAsNamed) {
    SceneParams p;
    p.centre = Pose{15, 0, 5, 0, 0, 0};
    p.radius = 4;
    p.period = 2;
    const auto circle = makeScene("circle", p);
    const auto eight = makeScene("eight", p);
    ASSERT_TRUE(circle && eight);
    for (double t : {0.0, 0.3, 0.77, 1.5, 3.1}) {
        const Pose c = circle->at(t).pose;
        EXPECT_NEAR(std::hypot(c.x - 15, c.y), 4.0, 1e-9);
        EXPECT_EQ(c.z, 5);
        const Pose again = circle->at(t + 2).pose;  // one period later
        EXPECT_NEAR(again.x, c.x, 1e-9);
        EXPECT_NEAR(again.y, c.y, 1e-9);
        EXPECT_GE(c.azimuth, -180.0);
        EXPECT_LE(c.azimuth, 180.0);
    }
    // The eight crosses its centre twice a lap and reaches the radius along x.
    EXPECT_NEAR(eight->at(0).pose.x, 15, 1e-9);
    EXPECT_NEAR(eight->at(1).pose.x, 15, 1e-9);
    EXPECT_NEAR(eight->at(0.5).pose.x, 19, 1e-9);
    EXPECT_NEAR(eight->at(0.5).pose.y, 0, 1e-9);
    EXPECT_EQ(makeScene("spiral", p), nullptr);
}

TEST(SimMotion, RandomWalkIsRepeatableForASeedAndStaysNear) {
    SceneParams p;
    p.centre = Pose{12, 0, 4, 0, 0, 0};
    p.seed = 42;
    const auto a = makeScene("walk", p);
    const auto b = makeScene("walk", p);
    p.seed = 43;
    const auto c = makeScene("walk", p);
    // b is sampled in another order first; the walk depends on the time alone.
    b->at(30.0);
    b->at(0.05);
    bool differs = false;
    for (double t = 0; t < 60; t += 0.37) {
        const Pose pa = a->at(t).pose, pb = b->at(t).pose, pc = c->at(t).pose;
        EXPECT_EQ(pa.x, pb.x);
        EXPECT_EQ(pa.azimuth, pb.azimuth);
        differs = differs || pa.x != pc.x;
        EXPECT_LT(std::hypot(pa.x - 12, pa.y, pa.z - 4), 40.0);
        EXPECT_LE(std::fabs(pa.elevation), 90.0);
    }
    EXPECT_TRUE(differs);
    EXPECT_NE(a->at(5).pose.x, a->at(6).pose.x);  // it moves
}

TEST(SimMotion, PressPatternDrivesTheButton) {
    const auto pressed = withPresses(makeScene("still", SceneParams{}), PressPattern{2.0, 0.5, 1.0});
    EXPECT_FALSE(pressed->at(0.9).button);
    EXPECT_TRUE(pressed->at(1.0).button);
    EXPECT_TRUE(pressed->at(1.4).button);
    EXPECT_FALSE(pressed->at(1.6).button);
    EXPECT_TRUE(pressed->at(3.2).button);
}

TEST(SimMotion, CsvTrajectoryInterpolatesAndLoops) {
    std::istringstream csv(
        "time,station,x,y,z,azimuth,elevation,roll,button\n"
        "# a comment\n"
        "0,1,0,0,0,170,0,0,0\n"
        "1,1,10,20,30,-170,10,0,1\n"
        "\n"
        "0.5,2,5,5,5,0,0,0,1\n");
    CsvTrajectory t;
    std::string error;
    ASSERT_TRUE(loadCsvTrajectory(csv, false, t, error)) << error;
    ASSERT_TRUE(t.stations[0] && t.stations[1]);
    EXPECT_FALSE(t.stations[2]);
    EXPECT_EQ(t.duration, 1.0);
    const Sample mid = t.stations[0]->at(0.5);
    EXPECT_NEAR(mid.pose.x, 5, 1e-12);
    EXPECT_NEAR(mid.pose.z, 15, 1e-12);
    EXPECT_NEAR(std::fabs(mid.pose.azimuth), 180, 1e-9);  // the short way round, not through 0
    EXPECT_FALSE(mid.button);                             // the button of the last row
    EXPECT_TRUE(t.stations[0]->at(1.0).button);
    EXPECT_EQ(t.stations[0]->at(7.0).pose.x, 10);  // held after the end

    std::istringstream again("0,1,0,0,0,0,0,0,0\n2,1,20,0,0,0,0,0,0\n");
    ASSERT_TRUE(loadCsvTrajectory(again, true, t, error)) << error;
    EXPECT_NEAR(t.stations[0]->at(2.5).pose.x, 5, 1e-9);  // looped

    std::istringstream shortRow("0,1,0,0,0\n");
    EXPECT_FALSE(loadCsvTrajectory(shortRow, false, t, error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
    std::istringstream badStation("0,1,0,0,0,0,0,0,0\n0,5,0,0,0,0,0,0,0\n");
    EXPECT_FALSE(loadCsvTrajectory(badStation, false, t, error));
    EXPECT_NE(error.find("line 2"), std::string::npos);
}

TEST(SimMotion, CsvMistakesAreNamedWithTheirLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"# nothing\n\n", "line 2: no trajectory rows"},
        {"time,station,x,y,z,az,el,roll,button\n", "line 1: no trajectory rows"},
        {"0,1,abc,0,0,0,0,0,0\n1,1,0,0,0,0,0,0,0\n", "line 1: not a list of finite numbers"},
        {"t,s,x,y,z,a,e,r,b\n0,1,0,0,0,0,0,0,0\ntime,station\n", "line 3: not a list"},
        {"0,1,0,0,0\n", "line 1: expected 9 fields, found 5"},
        {"0,1,0,0,0,0,0,0,0\n0,5,0,0,0,0,0,0,0\n", "line 2: station must be"},
        {"# big\n0,1e20,0,0,0,0,0,0,0\n", "line 2: station must be"},
        {"0,-1e20,0,0,0,0,0,0,0\n", "line 1: station must be"},
        {"-1,1,0,0,0,0,0,0,0\n", "line 1: time must not be negative"},
        {"0,1,nan,0,0,0,0,0,0\n", "line 1: not a list of finite numbers"},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        CsvTrajectory t;
        std::string error;
        EXPECT_FALSE(loadCsvTrajectory(in, false, t, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " gave: " << error;
    }
}

size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t total = 0, resident = 0;
    statm >> total >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

TEST(SimMotion, AWeekOfRandomWalkFitsInLittleMemory) {
    SceneParams p;
    p.centre = Pose{12, 0, 4, 0, 0, 0};
    p.seed = 5;
    const auto walk = makeScene("walk", p);
    const Pose early = walk->at(3.0).pose;
    const size_t before = residentBytes();
    const Pose late = walk->at(7 * 24 * 3600.0).pose;
    EXPECT_LT(residentBytes(), before + (32u << 20));  // every knot of a week would be some 300 MB
    EXPECT_LT(std::hypot(late.x - 12, late.y, late.z - 4), 40.0);
    // An earlier time is replayed from the start and comes out the same.
    EXPECT_EQ(walk->at(3.0).pose.x, early.x);
    EXPECT_EQ(walk->at(3.0).pose.roll, early.roll);
}

TEST(SimMath, AnglesSurviveTheAttitudeMatrix) {
    for (double a : {-179.0, -90.0, -10.0, 0.0, 45.0, 135.0, 180.0})
        for (double e : {-80.0, -30.0, 0.0, 60.0, 89.0})
            for (double r : {-170.0, -45.0, 0.0, 30.0, 179.0}) {
                double a2, e2, r2;
                anglesOf(attitude(a, e, r), a2, e2, r2);
                const Mat3 back = attitude(a2, e2, r2), want = attitude(a, e, r);
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) ASSERT_NEAR(back[i][j], want[i][j], 1e-9) << a << " " << e << " " << r;
                EXPECT_NEAR(e2, e, 1e-9);
            }
    // Looking straight up: the matrix still round-trips.
    double a, e, r;
    anglesOf(attitude(30, 90, 10), a, e, r);
    const Mat3 back = attitude(a, e, r), want = attitude(30, 90, 10);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(back[i][j], want[i][j], 1e-9);
    // Columns are the receiver's axes: azimuth 90 turns x onto +Y.
    const Mat3 m = attitude(90, 0, 0);
    EXPECT_NEAR(m[1][0], 1, 1e-12);
}

TEST(SimMath, AlignmentFrameFromThreePoints) {
    Frame f;
    ASSERT_TRUE(composeAlignment(Frame{}, Vec3{0, 0, 0}, Vec3{0, 0, -200}, Vec3{200, 0, 0}, f));
    const Vec3 reported = multiply(transpose(f.basis), Vec3{10, 2, 3} - f.origin);
    EXPECT_NEAR(reported.x, -3, 1e-12);
    EXPECT_NEAR(reported.y, 10, 1e-12);
    EXPECT_NEAR(reported.z, -2, 1e-12);
    Frame g;
    EXPECT_FALSE(composeAlignment(Frame{}, Vec3{1, 1, 1}, Vec3{1, 1, 1}, Vec3{0, 1, 0}, g));
    EXPECT_FALSE(composeAlignment(Frame{}, Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{5, 0, 0}, g));
}

TEST(SimSpec, CommandLineSpecifications) {
    std::string error;
    int station = 0;
    MotionPtr m;
    ASSERT_TRUE(parseScene("2=circle:radius=3,period=2,x=20", 1, station, m, error)) << error;
    EXPECT_EQ(station, 2);
    EXPECT_NEAR(m->at(0).pose.x, 23, 1e-9);
    EXPECT_NEAR(m->at(0).pose.y, defaultPose(2).y, 1e-9);
    ASSERT_TRUE(parseScene("1=still", 1, station, m, error));
    EXPECT_EQ(m->at(3).pose.x, defaultPose(1).x);
    EXPECT_FALSE(parseScene("5=still", 1, station, m, error));
    EXPECT_FALSE(parseScene("1=spin", 1, station, m, error));
    EXPECT_FALSE(parseScene("1=circle:radius", 1, station, m, error));
    EXPECT_FALSE(parseScene("1=circle:colour=3", 1, station, m, error));
    EXPECT_FALSE(parseScene("1=circle:period=0", 1, station, m, error));

    PressPattern press;
    ASSERT_TRUE(parsePress("3=2,0.25,1", station, press, error)) << error;
    EXPECT_EQ(station, 3);
    EXPECT_EQ(press.period, 2);
    EXPECT_EQ(press.down, 0.25);
    EXPECT_EQ(press.offset, 1);
    EXPECT_FALSE(parsePress("1=1,2", station, press, error));
    EXPECT_FALSE(parsePress("1=1", station, press, error));

    FaultSettings f;
    ASSERT_TRUE(parseFault("noise:rate=0.5,bytes=3", f, error)) << error;
    ASSERT_TRUE(parseFault("silence:at=2,for=1,every=5", f, error)) << error;
    ASSERT_TRUE(parseFault("hangup:at=9", f, error)) << error;
    ASSERT_TRUE(parseFault("longrun", f, error)) << error;
    EXPECT_EQ(f.noiseRate, 0.5);
    EXPECT_EQ(f.noiseBytes, 3u);
    EXPECT_EQ(f.silenceAt, 2);
    EXPECT_EQ(f.silenceEvery, 5);
    EXPECT_EQ(f.hangUpAt, 9);
    EXPECT_EQ(f.longRunRate, 0.1);
    EXPECT_EQ(f.longRunBytes, 600u);
    EXPECT_FALSE(parseFault("noise:rate=2", f, error));
    EXPECT_FALSE(parseFault("silence:for=2,every=1", f, error));
    EXPECT_FALSE(parseFault("gremlins", f, error));
    EXPECT_FALSE(parseFault("drop:often=1", f, error));

    std::array<bool, 4> stations{};
    ASSERT_TRUE(parseStations("1,3", stations, error));
    EXPECT_EQ(stations, (std::array<bool, 4>{true, false, true, false}));
    EXPECT_FALSE(parseStations("1,x", stations, error));
}

TEST(SimLog, JsonLinesEscapeWhatTheyCarry) {
    LogEntry c;
    c.kind = LogEntry::Kind::Command;
    c.index = 3;
    c.time = 12345;
    c.bytes = std::string("\x19", 1);
    c.note = "ok";
    EXPECT_EQ(toJsonLine(c), R"({"type":"command","index":3,"t":12345,"hex":"19","text":"\u0019","note":"ok"})");
    c.bytes = "H1,\"0\r";
    c.errorCode = -2;
    c.note = "error";
    EXPECT_EQ(
        toJsonLine(c),
        R"({"type":"command","index":3,"t":12345,"hex":"48312c22300d","text":"H1,\"0\r","note":"error","error":-2})");

    LogEntry r;
    r.kind = LogEntry::Kind::Record;
    r.seq = 7;
    r.time = 100;
    r.endTime = 200;
    r.solutionTime = 50;
    r.station = 2;
    r.bytes = std::string("02 \x00\r\n", 6);
    r.pose = Pose{1.5, -2, 0, 90, 0, 0};
    EXPECT_EQ(toJsonLine(r), R"({"type":"record","index":0,"t":100,"t_end":200,"seq":7,"station":2,"t_solution":50,)"
                             R"("pose":[1.5,-2,0,90,0,0],"button":false,"hex":"303220000d0a"})");

    LogEntry s;
    s.kind = LogEntry::Kind::Stylus;
    s.time = 300;
    s.station = 3;
    s.note = "press stops continuous output";
    EXPECT_EQ(toJsonLine(s),
              R"({"type":"stylus","index":0,"t":300,"station":3,"note":"press stops continuous output"})");
}

}  // namespace
