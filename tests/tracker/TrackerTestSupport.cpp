// Helpers of the tracker tests.
#include "TrackerTestSupport.h"

#include <iostream>

#include "support/CaptureStdout.h"

namespace trackertest {

Logger plainLogger(const char* name) {
    Logger logger;
    logger.setDefaults();
    logger.setName(name);
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    return logger;
}

std::unique_ptr<CTraCommonH> deviceProcessor() {
    const Logger logger = plainLogger("CFastrak");
    std::unique_ptr<CTraCommonH> processor(new CTraCommonH(&logger));
    processor->inputConnector = true;
    processor->numOutputs = 2;
    processor->caveCoordinates = true;
    processor->allocateStations(4);
    processor->setStation(1, 1, nullptr, nullptr, nullptr);
    processor->setStation(2, 2, nullptr, nullptr, nullptr);
    return processor;
}

ParseRun parse(CTraCommonH& processor, testsupport::ConfigBuilder& config) {
    testsupport::CaptureStdout capture;
    ParseRun run;
    run.result = processor.parseOptions(config.get());
    run.lines = testsupport::splitLines(capture.finish());
    return run;
}

uint32_t Options::add(uint32_t lineNumber, const std::string& keyword, const std::vector<std::string>& args) {
    const uint32_t index = builder_.add(lineNumber, keyword);
    OptionLine& entry = builder_.line(index);
    for (const std::string& arg : args) {
        strings_.push_back(arg);
        entry.args[entry.argCount++] = &strings_.back()[0];
    }
    return index;
}

ParseRun parse(CTraCommonH& processor, Options& options) { return parse(processor, options.builder()); }

std::string diagnostic(const std::string& problem, const std::string& label, unsigned line) {
    return "CFastrak: ERROR: " + problem + label + std::to_string(line) + ".";
}

CoutFormatGuard::CoutFormatGuard()
    : flags_(std::cout.flags()), precision_(std::cout.precision()), fill_(std::cout.fill()) {
    std::cout.flags(std::ios::dec | std::ios::skipws);
    std::cout.precision(6);
    std::cout.fill(' ');
}

CoutFormatGuard::~CoutFormatGuard() {
    std::cout.flags(flags_);
    std::cout.precision(precision_);
    std::cout.fill(fill_);
}

}  // namespace trackertest
