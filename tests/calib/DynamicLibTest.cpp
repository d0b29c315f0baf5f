// CDynamicLibH: construction lines, loading, and the per-slot entry point cache.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "CalibTestSupport.h"
#include "calib/CDynamicLibH.h"
#include "platform/win32.h"
#include "support/CaptureStdout.h"

using calibtest::countLines;
using calibtest::hostLogger;
using calibtest::kLookupLine;
using testsupport::CaptureStdout;
using testsupport::splitLines;

namespace {

typedef std::vector<std::string> Lines;

const char* const kMissingLibrary = CALIB_SCRATCH_DIR "/missing/calib_none";

}  // namespace

TEST(DynamicLib, ConstructionWithoutAWorkingNameLoadsNothing) {
    const Logger host = hostLogger(3);
    {
        CaptureStdout capture;
        CDynamicLibH library(nullptr, &host);
        EXPECT_FALSE(library.isLoaded());
        EXPECT_EQ(library.getProcAddrCached("calib_init", 0), nullptr);
        EXPECT_TRUE(library.cacheEntries().empty());
        EXPECT_EQ(splitLines(capture.finish()), (Lines{"Host: DEBUG: CDynamicLibH: \"constructor\" called.",
                                                       "Host: DEBUG: CDynamicLibH: \"init\" called.",
                                                       "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called.",
                                                       "Host: ERROR: CDynamicLibH: Library has not been loaded."}));
    }
    {
        CaptureStdout capture;
        CDynamicLibH library("", &host);
        EXPECT_FALSE(library.isLoaded());
        EXPECT_EQ(splitLines(capture.finish()),
                  (Lines{"Host: DEBUG: CDynamicLibH: \"constructor\" called.",
                         "Host: DEBUG: CDynamicLibH: \"init\" called.", "Host: DEBUG: CDynamicLibH: \"load\" called.",
                         "Host: ERROR: CDynamicLibH: Library name is empty."}));
    }
    {
        // The name is printed as it was given, not with the suffix the platform tried.
        CaptureStdout capture;
        CDynamicLibH library(kMissingLibrary, &host);
        EXPECT_FALSE(library.isLoaded());
        EXPECT_EQ(splitLines(capture.finish()),
                  (Lines{"Host: DEBUG: CDynamicLibH: \"constructor\" called.",
                         "Host: DEBUG: CDynamicLibH: \"init\" called.", "Host: DEBUG: CDynamicLibH: \"load\" called.",
                         std::string("Host: ERROR: CDynamicLibH: Can not load the library ") + kMissingLibrary}));
    }
}

TEST(DynamicLib, ErrorsAtTheDefaultLevelAndWithoutAHostRecord) {
    const Logger quiet = hostLogger(0);
    {
        CaptureStdout capture;
        { CDynamicLibH library(kMissingLibrary, &quiet); }
        EXPECT_EQ(capture.finish(),
                  std::string("Host: ERROR: CDynamicLibH: Can not load the library ") + kMissingLibrary + "\n");
    }
    {
        // A disabled record silences the line but not the name written after it.
        Logger disabled = quiet;
        disabled.enabled = 0;
        CaptureStdout capture;
        { CDynamicLibH library(kMissingLibrary, &disabled); }
        EXPECT_EQ(capture.finish(), std::string(kMissingLibrary) + "\n");
    }
    {
        // A fresh record: full prefix, the class name, no DEBUG lines.
        CaptureStdout capture;
        { CDynamicLibH library("", nullptr); }
        const std::string text = capture.finish();
        EXPECT_TRUE(
            std::regex_match(text, std::regex(R"([A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} CDynamicLibH\[\d+\]: ERROR: )"
                                              R"(CDynamicLibH: Library name is empty\.\n)")))
            << text;
    }
}

TEST(DynamicLib, LoadsOnceAndKeepsTheFirstLibrary) {
    const Logger host = hostLogger(3);
    CaptureStdout capture;
    CDynamicLibH library(PROBE_FULL_PATH, &host);
    ASSERT_TRUE(library.isLoaded());
    EXPECT_FALSE(library.load(PROBE_NO_EXIT_PATH));
    EXPECT_NE(library.getProcAddr("calib_exit"), nullptr);  // still the complete probe
    const Lines lines = splitLines(capture.finish());
    EXPECT_EQ(lines,
              (Lines{"Host: DEBUG: CDynamicLibH: \"constructor\" called.",
                     "Host: DEBUG: CDynamicLibH: \"init\" called.", "Host: DEBUG: CDynamicLibH: \"load\" called.",
                     std::string("Host: DEBUG: CDynamicLibH: ") + PROBE_FULL_PATH + " library loaded.",
                     "Host: DEBUG: CDynamicLibH: \"load\" called.", kLookupLine}));

    // A successful load at the default level writes nothing.
    const Logger quiet = hostLogger(0);
    CaptureStdout silent;
    { CDynamicLibH other(PROBE_FULL_PATH, &quiet); }
    EXPECT_EQ(silent.finish(), "");
}

TEST(DynamicLib, CacheIsKeyedBySlotAndRemembersFailures) {
    const Logger host = hostLogger(3);
    CDynamicLibH library(PROBE_FULL_PATH, &host);
    ASSERT_TRUE(library.isLoaded());
    HMODULE own = LoadLibraryA(PROBE_FULL_PATH);  // the platform's own answers, for comparison
    ASSERT_NE(own, nullptr);
    const auto platformAddress = [own](const char* name) {
        return reinterpret_cast<CDynamicLibH::ProcAddress>(GetProcAddress(own, name));
    };

    CaptureStdout capture;
    // Slot 3 on an empty cache: four entries, only the last one tried.
    EXPECT_EQ(library.getProcAddrCached("calib_init", 3), platformAddress("calib_init"));
    ASSERT_EQ(library.cacheEntries().size(), 4u);
    for (size_t slot = 0; slot < 3; ++slot) {
        EXPECT_FALSE(library.cacheEntries()[slot].tried) << slot;
        EXPECT_EQ(library.cacheEntries()[slot].address, nullptr) << slot;
    }
    EXPECT_TRUE(library.cacheEntries()[3].tried);
    // A second name under the same slot gets the first name's address without a lookup.
    EXPECT_EQ(library.getProcAddrCached("calib_exit", 3), platformAddress("calib_init"));
    // A name the library lacks: null every time, looked up once.
    EXPECT_EQ(library.getProcAddrCached("calib_absent", 1), nullptr);
    EXPECT_EQ(library.getProcAddrCached("calib_absent", 1), nullptr);
    EXPECT_EQ(library.getProcAddrCached("calib_exit", 1), nullptr);  // the slot stays failed
    EXPECT_TRUE(library.cacheEntries()[1].tried);
    // A lower slot fills in without shrinking the cache.
    EXPECT_EQ(library.getProcAddrCached("calib_evaluate", 0), platformAddress("calib_evaluate"));
    EXPECT_EQ(library.cacheEntries().size(), 4u);
    const Lines lines = splitLines(capture.finish());
    EXPECT_EQ(countLines(lines, "Host: DEBUG: CDynamicLibH: \"getProcAddrCached\" called."), 6);
    EXPECT_EQ(countLines(lines, kLookupLine), 3);  // slot 3, slot 1 once, slot 0

    // Unload forgets everything; a later load starts with an empty cache and looks up again.
    {
        CaptureStdout again;
        EXPECT_TRUE(library.unload());
        EXPECT_FALSE(library.isLoaded());
        EXPECT_TRUE(library.cacheEntries().empty());
        EXPECT_EQ(library.cacheEntries().capacity(), 0u);
        EXPECT_EQ(library.getProcAddrCached("calib_init", 3), nullptr);
        EXPECT_TRUE(library.cacheEntries().empty());
        EXPECT_TRUE(library.load(PROBE_NO_EXIT_PATH));
        EXPECT_EQ(library.getProcAddrCached("calib_exit", 1), nullptr);
        EXPECT_EQ(library.getProcAddrCached("calib_evaluate", 1), nullptr);
        EXPECT_EQ(library.cacheEntries().size(), 2u);
        const Lines reloaded = splitLines(again.finish());
        EXPECT_EQ(countLines(reloaded, "Host: ERROR: CDynamicLibH: Library has not been loaded."), 1);
        EXPECT_EQ(countLines(reloaded, kLookupLine), 1);
    }
    // Unloading twice is harmless and still answers true.
    EXPECT_TRUE(library.unload());
    FreeLibrary(own);
}
