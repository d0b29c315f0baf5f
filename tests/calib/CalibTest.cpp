// CCalibH against real probe libraries: argument copies, the handle, in-place evaluation, and
// libraries that lack an entry point.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "CalibTestSupport.h"
#include "calib/CCalibH.h"
#include "platform/win32.h"
#include "support/CaptureStdout.h"

using calibtest::countLines;
using calibtest::hostLogger;
using calibtest::kLookupLine;
using calibtest::probeOf;
using testsupport::CaptureStdout;
using testsupport::splitLines;

namespace {

typedef std::vector<std::string> Lines;

void* const kHandle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A17));

// A probe whose record starts clean for this test (an earlier test may have left it loaded).
ProbeState* freshProbe(CCalibH& calib) {
    ProbeState* state = probeOf(calib);
    if (state != nullptr) std::memset(state, 0, sizeof *state);
    return state;
}

}  // namespace

TEST(Calib, CompleteLibraryGetsCopiesAndItsHandleBack) {
    const Logger host = hostLogger(3);
    CaptureStdout construction;
    CCalibH* calib = new CCalibH(PROBE_FULL_PATH, &host);
    EXPECT_EQ(splitLines(construction.finish()),
              (Lines{"Host: DEBUG: CDynamicLibH: \"constructor\" called.",
                     "Host: DEBUG: CDynamicLibH: \"init\" called.", "Host: DEBUG: CDynamicLibH: \"load\" called.",
                     std::string("Host: DEBUG: CDynamicLibH: ") + PROBE_FULL_PATH + " library loaded.",
                     "Host: DEBUG: CCalibH: \"init\" called."}));
    ProbeState* state = freshProbe(*calib);
    ASSERT_NE(state, nullptr);
    state->initResult = kHandle;

    std::string first = "scale=2";
    std::string second = "two words";
    const char* args[] = {first.c_str(), second.c_str(), ""};
    CaptureStdout initCapture;
    EXPECT_TRUE(calib->init(args, 3));
    EXPECT_EQ(splitLines(initCapture.finish()), (Lines{"Host: DEBUG: CCalibH: \"init\" called.",
                                                       "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called.",
                                                       kLookupLine, "Host: DEBUG: CCalibH: \"calib_init\" called."}));
    EXPECT_EQ(state->initCalls, 1);
    EXPECT_EQ(state->initCount, 3);
    EXPECT_STREQ(state->initText[0], "scale=2");
    EXPECT_STREQ(state->initText[1], "two words");
    EXPECT_STREQ(state->initText[2], "");
    // The library got the object's own copies, which outlive the caller's strings.
    ASSERT_NE(state->initArgs, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(state->initArgs[i], args[i]) << i;
        EXPECT_EQ(state->initArgs[i], calib->argument(i)) << i;
    }
    first.assign(first.size(), 'x');
    EXPECT_STREQ(calib->argument(0), "scale=2");
    EXPECT_EQ(calib->handle(), kHandle);

    float sample[6] = {1, 2, 3, 4, 5, 6};
    CaptureStdout evaluateCapture;
    EXPECT_TRUE(calib->evaluate(sample));
    EXPECT_TRUE(calib->evaluate(sample));
    const Lines evaluateLines = splitLines(evaluateCapture.finish());
    EXPECT_EQ(countLines(evaluateLines, kLookupLine), 1);
    EXPECT_EQ(evaluateLines.size(), 3u);  // two cache calls and one lookup, nothing of CCalibH
    const float twice[6] = {3, 8, 3, 24, 45, 66};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(sample[i], twice[i]) << i;
    EXPECT_EQ(state->evaluateCalls, 2);
    EXPECT_EQ(state->evaluateHandle, kHandle);
    EXPECT_EQ(state->evaluateSample, sample);

    CaptureStdout exitCapture;
    EXPECT_TRUE(calib->exit());
    EXPECT_EQ(splitLines(exitCapture.finish()), (Lines{"Host: DEBUG: CCalibH: \"exit\" called.",
                                                       "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called.",
                                                       kLookupLine, "Host: DEBUG: CCalibH: \"calib_exit\" called."}));
    EXPECT_EQ(state->exitCalls, 1);
    EXPECT_EQ(state->exitHandle, kHandle);
    EXPECT_STREQ(state->exitFirstArg, "scale=2");  // still readable during calib_exit
    for (int i = 0; i < 3; ++i) EXPECT_EQ(calib->argument(i), nullptr) << i;
    EXPECT_EQ(calib->argumentCount(), 3);

    // The destructor unloads and does not call calib_exit again (our own handle keeps the
    // probe's record readable).
    HMODULE keep = LoadLibraryA(PROBE_FULL_PATH);
    ASSERT_NE(keep, nullptr);
    CaptureStdout destruction;
    delete calib;
    EXPECT_EQ(splitLines(destruction.finish()), (Lines{"Host: DEBUG: CCalibH: \"destructor\" called.",
                                                       "Host: DEBUG: CDynamicLibH: \"destructor\" called.",
                                                       "Host: DEBUG: CDynamicLibH: \"unload\" called."}));
    EXPECT_EQ(state->exitCalls, 1);
    FreeLibrary(keep);
}

TEST(Calib, ZeroArgumentsAndANullHandleReachTheLibraryUnchanged) {
    const Logger quiet = hostLogger(0);
    CCalibH calib(PROBE_FULL_PATH, &quiet);
    ProbeState* state = freshProbe(calib);
    ASSERT_NE(state, nullptr);
    state->initResult = nullptr;
    state->evaluateHandle = state->exitHandle = kHandle;  // must be overwritten with null

    CaptureStdout capture;
    EXPECT_TRUE(calib.init(nullptr, 0));
    EXPECT_EQ(state->initCalls, 1);
    EXPECT_EQ(state->initCount, 0);
    EXPECT_NE(state->initArgs, nullptr);  // the object's own (empty) array, not the caller's null
    float sample[6] = {0, 0, 1, 0, 0, 0};
    EXPECT_TRUE(calib.evaluate(sample));
    EXPECT_EQ(state->evaluateHandle, nullptr);
    EXPECT_FLOAT_EQ(sample[2], -1.0f);
    EXPECT_TRUE(calib.exit());
    EXPECT_EQ(state->exitHandle, nullptr);
    EXPECT_EQ(capture.finish(), "");  // nothing at the default level
}

TEST(Calib, LibraryWithoutEvaluateInitialisesButCannotEvaluate) {
    const Logger host = hostLogger(3);
    CCalibH calib(PROBE_NO_EVALUATE_PATH, &host);
    ProbeState* state = freshProbe(calib);
    ASSERT_NE(state, nullptr);
    const char* args[] = {"a"};
    EXPECT_TRUE(calib.init(args, 1));
    EXPECT_EQ(state->initCalls, 1);

    float sample[6] = {1, 2, 3, 4, 5, 6};
    CaptureStdout capture;
    EXPECT_FALSE(calib.evaluate(sample));
    EXPECT_FALSE(calib.evaluate(sample));
    // No message of its own and one lookup only; the sample is untouched.
    EXPECT_EQ(splitLines(capture.finish()),
              (Lines{"Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called.", kLookupLine,
                     "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called."}));
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(sample[i], static_cast<float>(i + 1)) << i;
    EXPECT_TRUE(calib.exit());
    EXPECT_EQ(state->exitCalls, 1);
}

TEST(Calib, LibraryWithoutExitFailsExitButFreesTheCopies) {
    const Logger host = hostLogger(3);
    CCalibH calib(PROBE_NO_EXIT_PATH, &host);
    ProbeState* state = freshProbe(calib);
    ASSERT_NE(state, nullptr);
    const char* args[] = {"first", "second"};
    EXPECT_TRUE(calib.init(args, 2));
    float sample[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(calib.evaluate(sample));

    CaptureStdout capture;
    EXPECT_FALSE(calib.exit());
    EXPECT_EQ(
        splitLines(capture.finish()),
        (Lines{"Host: DEBUG: CCalibH: \"exit\" called.", "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called.",
               kLookupLine, "Host: DEBUG: CCalibH: could not call \"calib_exit\"."}));
    // The copies are gone (the leak check of the sanitizer build confirms they were freed).
    EXPECT_EQ(calib.argument(0), nullptr);
    EXPECT_EQ(calib.argument(1), nullptr);
    EXPECT_EQ(calib.argumentCount(), 2);
}

TEST(Calib, RepeatedInitReplacesTheCopiesAndDestructionFreesTheLast) {
    const Logger quiet = hostLogger(0);
    CCalibH calib(PROBE_FULL_PATH, &quiet);
    ProbeState* state = freshProbe(calib);
    ASSERT_NE(state, nullptr);
    const char* firstArgs[] = {"one", "two", "three"};
    const char* secondArgs[] = {"four"};
    EXPECT_TRUE(calib.init(firstArgs, 3));
    EXPECT_TRUE(calib.init(secondArgs, 1));
    EXPECT_EQ(state->initCalls, 2);
    EXPECT_EQ(state->initCount, 1);
    EXPECT_EQ(calib.argumentCount(), 1);
    EXPECT_STREQ(calib.argument(0), "four");
    EXPECT_EQ(calib.argument(1), nullptr);  // the first init's copies were freed, not kept
    EXPECT_EQ(calib.argument(2), nullptr);
    // No exit: the destructor frees the copies; the leak check of the sanitizer build sees it.
}

TEST(Calib, ArgumentCountsTheArrayCannotHoldAreRefused) {
    const Logger quiet = hostLogger(0);
    CCalibH calib(PROBE_FULL_PATH, &quiet);
    ProbeState* state = freshProbe(calib);
    ASSERT_NE(state, nullptr);
    const char* eleven[11] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
    {
        CaptureStdout capture;
        EXPECT_FALSE(calib.init(eleven, 11));
        EXPECT_EQ(capture.finish(), "Host: ERROR: CCalibH: Can not pass these library arguments, count 11\n");
    }
    {
        CaptureStdout capture;
        EXPECT_FALSE(calib.init(eleven, -1));
        EXPECT_EQ(capture.finish(), "Host: ERROR: CCalibH: Can not pass these library arguments, count -1\n");
    }
    EXPECT_EQ(state->initCalls, 0);
    // Ten is the most the calibration option allows, and all ten arrive.
    EXPECT_TRUE(calib.init(eleven, 10));
    EXPECT_EQ(state->initCount, 10);
    EXPECT_STREQ(state->initText[9], "9");
    EXPECT_EQ(calib.argument(10), nullptr);
    EXPECT_TRUE(calib.exit());
}

TEST(Calib, MissingLibraryFailsEveryStepWithTheLoaderErrors) {
    const std::string missing = CALIB_SCRATCH_DIR "/missing/calib_none";
    const char* args[] = {"kept"};
    {
        // At the default level only the loader's ERROR lines show.
        const Logger quiet = hostLogger(0);
        CaptureStdout capture;
        {
            CCalibH calib(missing.c_str(), &quiet);
            EXPECT_FALSE(calib.init(args, 1));
            EXPECT_STREQ(calib.argument(0), "kept");  // copied before the entry point is checked
            float sample[6] = {};
            EXPECT_FALSE(calib.evaluate(sample));
            EXPECT_FALSE(calib.exit());
            EXPECT_EQ(calib.argument(0), nullptr);
        }
        EXPECT_EQ(splitLines(capture.finish()), (Lines{"Host: ERROR: CDynamicLibH: Can not load the library " + missing,
                                                       "Host: ERROR: CDynamicLibH: Library has not been loaded.",
                                                       "Host: ERROR: CDynamicLibH: Library has not been loaded.",
                                                       "Host: ERROR: CDynamicLibH: Library has not been loaded."}));
    }
    {
        const Logger host = hostLogger(3);
        CCalibH calib(missing.c_str(), &host);
        CaptureStdout capture;
        EXPECT_FALSE(calib.init(args, 1));
        EXPECT_FALSE(calib.exit());
        EXPECT_EQ(
            splitLines(capture.finish()),
            (Lines{"Host: DEBUG: CCalibH: \"init\" called.", "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called.",
                   "Host: ERROR: CDynamicLibH: Library has not been loaded.",
                   "Host: DEBUG: CCalibH: could not call \"calib_init\".", "Host: DEBUG: CCalibH: \"exit\" called.",
                   "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called.",
                   "Host: ERROR: CDynamicLibH: Library has not been loaded.",
                   "Host: DEBUG: CCalibH: could not call \"calib_exit\"."}));
    }
    {
        // Without a host record the load error is written before the object is renamed.
        CaptureStdout capture;
        {
            CCalibH calib(missing.c_str(), nullptr);
            EXPECT_FALSE(calib.init(args, 1));
        }
        const Lines lines = splitLines(capture.finish());
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_TRUE(
            std::regex_search(lines[0], std::regex(R"( CDynamicLibH\[\d+\]: ERROR: CDynamicLibH: Can not load)")))
            << lines[0];
        EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"( CCalibH\[\d+\]: ERROR: CDynamicLibH: Library has not)")))
            << lines[1];
    }
}
