// Shared helpers of the tracker tests: a processor set up as the device does, parsing with capture.
#pragma once

#include <cstdint>
#include <deque>
#include <ios>
#include <memory>
#include <string>
#include <vector>

#include "support/ConfigBuilder.h"
#include "tracker/CTraCommonH.h"

namespace trackertest {

// Defaults with date, time and thread id off, so lines can be compared whole.
Logger plainLogger(const char* name);

// As the device's set-up leaves it before parseOptions: four stations, stations 1 and 2 with
// outputs 1 and 2, numOutputs 2, input connector, CAVE coordinates on; logging as "CFastrak".
std::unique_ptr<CTraCommonH> deviceProcessor();

struct ParseRun {
    bool result;
    std::vector<std::string> lines;
};

// A ConfigBuilder that also takes argument lists built at run time.
class Options {
public:
    uint32_t add(uint32_t lineNumber, const std::string& keyword, const std::vector<std::string>& args);
    testsupport::ConfigBuilder& builder() { return builder_; }
    OptionLine& line(uint32_t index) { return builder_.line(index); }

private:
    testsupport::ConfigBuilder builder_;
    std::deque<std::string> strings_;
};

// parseOptions on the builder's record with standard output captured.
ParseRun parse(CTraCommonH& processor, testsupport::ConfigBuilder& config);
ParseRun parse(CTraCommonH& processor, Options& options);

// "CFastrak: ERROR: " + problem + label + line + "." as the plain logger writes it.
std::string diagnostic(const std::string& problem, const std::string& label, unsigned line);

// Puts std::cout into its default number format and restores what it had on destruction, since
// the summary deliberately leaves fixed notation set.
class CoutFormatGuard {
public:
    CoutFormatGuard();
    ~CoutFormatGuard();

private:
    std::ios::fmtflags flags_;
    std::streamsize precision_;
    char fill_;
};

}  // namespace trackertest
