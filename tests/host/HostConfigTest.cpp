// fastrak-host's configuration reader: a good file into sections and records, and every file error with its line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HostConfig.h"

namespace {

using fastrakhost::ConfigError;
using fastrakhost::DeviceRecord;
using fastrakhost::HostConfig;

std::string repeat(const std::string& line, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += line;
    return text;
}

TEST(HostConfig, ReadsSectionsWordsAndLineNumbersIntoTheModulesRecord) {
    const std::string text =
        "\xEF\xBB\xBF# lab set-up (B\xC3\xBChne 2, \xF0\x9F\x8E\xAF), with the byte order mark Windows editors write\n"
        "[host]\n"
        "log-date no\n"
        "debug-level 3   # comment after a value\n"
        "LSL yes\n"
        "csv \"/tmp/my poses.csv\"\n"
        "\n"
        "[device left]\n"
        "  port /dev/ttyUSB0\n"
        "Sensors 1 0 0 1\n"
        "calibration \"lib with blank.so\" \"\" a#b\n"
        "[ device   \"right hand\" ]\n"
        "\tbaud\t9600\r\n"
        "Latency 2.5   # the host's own line, not the module's\n"
        "port com2\n";
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(fastrakhost::parseConfig(text, "lab.conf", config, error)) << error.text();
    EXPECT_FALSE(config.host.logDate);
    EXPECT_TRUE(config.host.logTime);
    EXPECT_EQ(config.host.debugLevel, 3);
    EXPECT_TRUE(config.host.lsl);
    EXPECT_EQ(config.host.csvPath, "/tmp/my poses.csv");
    ASSERT_EQ(config.devices.size(), 2u);
    EXPECT_EQ(config.devices[1].name, "right hand");

    DeviceRecord left(config.devices[0]);
    DeviceConfig* record = left.get();
    EXPECT_STREQ(record->deviceName, "left");
    ASSERT_EQ(record->lineCount, 3u);
    const struct {
        uint32_t line;
        const char* keyword;
        std::vector<std::string> args;
    } expected[] = {
        {9, "port", {"/dev/ttyUSB0"}},
        {10, "Sensors", {"1", "0", "0", "1"}},
        {11, "calibration", {"lib with blank.so", "", "a#b"}},  // '#' inside a word is text
    };
    for (uint32_t i = 0; i < record->lineCount; ++i) {
        const OptionLine& line = record->entries[i];
        EXPECT_EQ(line.lineNumber, expected[i].line);
        EXPECT_STREQ(line.keyword, expected[i].keyword);
        ASSERT_EQ(line.argCount, expected[i].args.size()) << expected[i].keyword;
        for (uint32_t a = 0; a < line.argCount; ++a) EXPECT_EQ(line.args[a], expected[i].args[a]);
        EXPECT_EQ(line.used, 0);
    }
    DeviceRecord right(config.devices[1]);
    ASSERT_EQ(right.get()->lineCount, 2u);
    EXPECT_STREQ(right.get()->entries[0].args[0], "9600");  // tabs and CR LF are blanks
    EXPECT_STREQ(right.get()->entries[1].keyword, "port");
    EXPECT_EQ(config.devices[1].latencyMs, 2.5);
    EXPECT_EQ(config.devices[0].latencyMs, 4.0);
}

TEST(HostConfig, TheShippedExampleReads) {
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(fastrakhost::readConfigFile(FASTRAK_EXAMPLE_CONFIG, config, error)) << error.text();
    ASSERT_EQ(config.devices.size(), 2u);
    EXPECT_EQ(config.devices[1].name, "right hand");
    EXPECT_EQ(config.host.csvPath, "poses.csv");
}

TEST(HostConfig, LimitsAreThoseOfTheRecord) {
    const std::string args64 = repeat(" 1", 64);
    const std::string text = "[device a]\nport com1\n" + repeat("sensoroffset" + args64 + "\n", 31);
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(fastrakhost::parseConfig(text, "f", config, error)) << error.text();
    DeviceRecord record(config.devices[0]);
    EXPECT_EQ(record.get()->lineCount, 32u);
    EXPECT_EQ(record.get()->entries[31].argCount, 64u);
    EXPECT_EQ(record.get()->entries[31].lineNumber, 33u);
}

TEST(HostConfig, FileErrorsNameTheFileAndLineAndLeaveTheConfigurationAlone) {
    const struct {
        std::string text;
        uint32_t line;
        const char* message;
    } cases[] = {
        {"[host]\n[hots]\n", 2, "unknown section \"[hots]\""},
        {"# no section yet\nport com1\n", 2, "option line before the first section"},
        {"[device a]\n" + repeat("reset no\n", 32) + "reset no\n", 34, "more than 32 option lines"},
        {"[device a]\n\nsensors" + repeat(" 1", 65) + "\n", 3, "more than 64 arguments"},
        {"[device a]\nport \"/dev/tty USB0\n", 2, "unterminated double quote"},
        {"[device \"a\n", 1, "section header without \"]\""},
        {"[device a]\n[device a]\n", 2, "already defined at line 1"},
        {"[device]\n", 1, "needs one name"},
        {"[device a b]\n", 1, "needs one name"},
        {"[host] extra\n", 1, "text after the section header"},
        {"[host]\ncolour red\n", 2, "unknown host setting \"colour\""},
        {"[host]\nlog-dat no\n", 2, "unknown host setting \"log-dat\"; did you mean \"log-date\"?"},
        {"[host]\nlog-time maybe\n", 2, "yes, no, on or off"},
        {"[host]\nlsl 16571\n", 2, "\"lsl\" takes yes, no, on or off"},
        {"[host]\ndebug-level 3x\n", 2, "whole number"},
        {"[host]\njsonl\n", 2, "exactly one value"},
        {"[device a]\nport com1\nlatency 4ms\n", 3, "latency takes the tracker's output latency in milliseconds"},
        {"[device a]\nport com1\nlatency -1\n", 3, "0 to 1000"},
        {"[device a]\nport com1\n[device b]\nsensors 1 0 0 0\n", 3, "device \"b\" has no port line"},
        {std::string("[device a]\nport com1\nbaud 96\0"
                     "00\n",
                     32),
         3, "NUL byte"},
        // Latin-1, an overlong "/", a surrogate, a cut sequence: the line and the byte are named.
        {"[device caf\xE9]\nport com1\n", 1, "not UTF-8 (byte 0xE9 at column 12)"},
        {"[device a]\nport \xC0\xAF"
         "dev\n",
         2, "not UTF-8 (byte 0xC0 at column 6)"},
        {"[device a]\nport com1\n# \xED\xA0\x80\n", 3, "not UTF-8"},
        {"[device a]\nport \xE2\x82\n", 2, "not UTF-8"},
    };
    for (const auto& c : cases) {
        HostConfig config;
        config.devices.resize(1);
        config.devices[0].name = "untouched";
        ConfigError error;
        EXPECT_FALSE(fastrakhost::parseConfig(c.text, "bad.conf", config, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.text().find("bad.conf:" + std::to_string(c.line) + ": "), std::string::npos) << error.text();
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
        ASSERT_EQ(config.devices.size(), 1u);
        EXPECT_EQ(config.devices[0].name, "untouched");
    }
    HostConfig config;
    ConfigError error;
    EXPECT_FALSE(fastrakhost::readConfigFile("/nonexistent/host.conf", config, error));
    EXPECT_EQ(error.line, 0u);
    EXPECT_EQ(error.text().rfind("/nonexistent/host.conf: cannot read the file", 0), 0u) << error.text();
}

}  // namespace
