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
    std::vector<std::string> args = {program, "--link", link, "--log", logPath, "--baud", "115200",
                                     "--scene", "1=still:x=1.5,y=-2.25,z=3,az=90,el=-45,roll=180",
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

TEST(SimProgram, RejectsBadSpecifications) {
    const std::string program = FASTRAK_SIM_PROGRAM;
    for (const char* bad : {"--fault=gremlins", "--scene=9=still", "--receivers=0"}) {
        std::vector<std::string> args = {program, bad};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad;
    }
}

}  // namespace
