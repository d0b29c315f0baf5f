// The fastrak-sim program: prints and links its terminal, logs JSON lines, ends cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "PtyDriver.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string readLine(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
}

TEST(SimProgram, ServesTheLinkedTerminalAndStopsOnSignal) {
    char dir[] = "/tmp/fastrak-sim-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/tracker";
    const std::string logPath = std::string(dir) + "/log.jsonl";

    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = FASTRAK_SIM_PROGRAM;
    std::vector<std::string> args = {program,       "--link",  link,
                                     "--log",       logPath,   "--baud",
                                     "115200",      "--scene", "1=still:x=1.5,y=-2.25,z=3,az=90,el=-45,roll=180",
                                     "--receivers", "1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    const std::string path = readLine(out[0]);
    ::close(out[0]);
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    {
        simtest::PtyDriver driver(link);
        ASSERT_TRUE(driver.isOpen());
        driver.send("P");
        EXPECT_EQ(driver.read(47), "01    1.50  -2.25   3.00  90.00 -45.00 180.00\r\n");
        driver.send("X\r");
        EXPECT_EQ(driver.readUntil("\r\n"), "2 E*ERROR* X -99\r\n");
    }
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0);  // the link went with it

    std::ifstream log(logPath);
    std::stringstream text;
    text << log.rdbuf();
    const std::string all = text.str();
    EXPECT_NE(all.find(R"({"type":"command","index":0,)"), std::string::npos) << all;
    EXPECT_NE(all.find(R"("text":"P","note":"ok"})"), std::string::npos);
    EXPECT_NE(all.find(R"("type":"record")"), std::string::npos);
    EXPECT_NE(all.find(R"("text":"X\r","note":"error","error":-99})"), std::string::npos);
    std::remove(logPath.c_str());
    ::rmdir(dir);
}

struct Finished {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the program to its end with its output in files of `dir`.
Finished runProgram(const std::string& dir, std::vector<std::string> args) {
    const std::string program = FASTRAK_SIM_PROGRAM, out = dir + "/out", err = dir + "/err";
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Finished f;
    pid_t pid;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return f;
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) f.status = WEXITSTATUS(status);
    f.out = slurp(out);
    f.err = slurp(err);
    return f;
}

class SimProgramFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/fastrak-sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        for (const char* f : {"/out", "/err", "/log", "/link", "/empty.csv", "/rows.csv", "/bad.csv"})
            std::remove((dir + f).c_str());
        ::rmdir(dir.c_str());
    }
    void write(const std::string& name, const std::string& text) { std::ofstream(dir + "/" + name) << text; }

    std::string dir;
};

TEST_F(SimProgramFiles, UsageErrorsExitWithTwoNamingTheOptionAndTheFault) {
    write("empty.csv", "# only a comment\n\n");
    write("rows.csv", "0,1,10,0,0,0,0,0,0\n");
    write("bad.csv", "0,1e20,10,0,0,0,0,0,0\n");
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> said;
    } cases[] = {
        {{"--fault=gremlins"}, {"--fault", "gremlins"}},
        {{"--scene=9=still"}, {"--scene", "station 1 to 4"}},
        {{"--scene", "1=circle:radius=1e300"}, {"--scene", "radius must lie from 0 to 1000"}},
        {{"--receivers=0"}, {"--receivers", "'0'"}},
        {{"--rate", "1e-11"}, {"--rate", "out of range"}},
        {{"--rate", "1e-300"}, {"--rate", "out of range"}},
        {{"--rate", "nan"}, {"--rate", "not a finite number"}},
        {{"--latency", "nan"}, {"--latency", "not a finite number"}},
        {{"--reset-time", "NaN"}, {"--reset-time", "not a finite number"}},
        {{"--duration", "inf"}, {"--duration", "not a finite number"}},
        {{"--baud", "abc"}, {"--baud", "'abc' is not a number"}},
        {{"--baud", "9600.5"}, {"--baud", "whole number"}},
        {{"--seed", "-3"}, {"--seed", "whole number"}},
        {{"--no-such-option"}, {"--no-such-option"}},
        {{"--loop"}, {"--loop", "--csv"}},
        {{"--csv", dir + "/missing.csv"}, {"--csv", "cannot read", "No such file"}},
        {{"--csv", dir + "/empty.csv"}, {"--csv", "line 2", "no trajectory rows"}},
        {{"--csv", dir + "/bad.csv"}, {"--csv", "line 1", "station"}},
        {{"--scene", "1=circle", "--csv", dir + "/rows.csv"}, {"--csv", "station 1 already follows --scene"}},
        {{"--scene", "1=still", "--scene", "1=walk"}, {"--scene 1=walk", "already follows --scene 1=still"}},
        {{"--receivers", "1", "--scene", "2=circle"}, {"--scene 2=circle", "station 2 has no receiver"}},
        {{"--receivers", "2", "--csv", dir + "/rows.csv"}, {"--csv", "station 1 has no receiver"}},
        {{"--receivers", "1", "--press", "3=1,0.2"}, {"--press 3=1,0.2", "no receiver"}},
    };
    for (const auto& c : cases) {
        const Finished f = runProgram(dir, c.args);
        const std::string shown = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : std::string());
        EXPECT_EQ(f.status, 2) << shown << ": " << f.err;
        for (const std::string& part : c.said) EXPECT_NE(f.err.find(part), std::string::npos) << shown << ": " << f.err;
        EXPECT_EQ(f.err.find("Success"), std::string::npos) << f.err;
        EXPECT_TRUE(f.out.empty()) << shown;  // no terminal was offered
    }
    const Finished version = runProgram(dir, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("fastrak-sim ", 0), 0u) << version.out;
}

TEST_F(SimProgramFiles, HangUpSignalEndsCleanlyAndAFailedLinkSparesTheLog) {
    const std::string link = dir + "/link", logPath = dir + "/log";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = FASTRAK_SIM_PROGRAM;
    std::vector<std::string> args = {program, "--link", link, "--log", logPath};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    EXPECT_EQ(readLine(out[0]).rfind("/dev/pts/", 0), 0u);
    ::close(out[0]);
    ASSERT_EQ(::kill(pid, SIGHUP), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0);  // the link went with it

    // A --link that cannot be made ends the program before the log is opened.
    write("link", "a file of somebody's\n");
    write("log", "an earlier run's log\n");
    const Finished f = runProgram(dir, {"--link", link, "--log", logPath});
    EXPECT_EQ(f.status, 1);
    EXPECT_NE(f.err.find("--link"), std::string::npos) << f.err;
    EXPECT_EQ(slurp(logPath), "an earlier run's log\n");
    EXPECT_EQ(slurp(link), "a file of somebody's\n");
}

}  // namespace
