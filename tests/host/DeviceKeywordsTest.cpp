// The host's device keywords: the nearest one to a misspelt word, and the list against the loaded
// module's readers and the configuration reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "devices/DeviceKeywords.h"
#include "DeviceSession.h"
#include "HostConfig.h"
#include "support/CaptureStdout.h"

namespace {

using fastrakhost::deviceKeywords;

TEST(DeviceKeywords, SuggestsOnlyAClearlyNearestKeyword) {
    const struct {
        const char* word;
        const char* meant;  // "": no suggestion
    } cases[] = {
        {"hemisphre", "hemisphere"},
        {"HemiSphre", "hemisphere"},  // any letter case, as the module takes keywords
        {"prot", "port"},             // two neighbours swapped is one edit
        {"sensro", "sensor"},
        {"transmiterrotation", "transmitterrotation"},
        {"sensorrotationmatrx", "sensorrotationmatrix"},
        {"hemisphere", ""},  // a keyword itself
        {"sensorz", ""},     // as near to sensor as to sensors
        {"bogus", ""},
        {"pot", "port"},
        {"pt", ""},  // two edits from port are too many in a word this short
        {"cavecord", "cavecoord"},
    };
    for (const auto& c : cases) EXPECT_EQ(fastrakhost::likelyKeyword(c.word), c.meant) << c.word;
}

// Each listed keyword, alone on a line after a valid stylus line, is taken by one of the module's
// readers: it is never reported as unknown, where a misspelt word on the same line is.
TEST(DeviceKeywords, EveryListedKeywordIsOneTheModuleReads) {
    fastrakhost::ModuleLibrary module(FASTRAK_MODULE_PATH);
    ASSERT_TRUE(module.loaded()) << module.error();
    std::vector<std::string> words = deviceKeywords();
    words.push_back("hemisphre");
    for (const std::string& word : words) {
        fastrakhost::DeviceSection section;
        section.name = "d";
        section.options = {{1, "stylus", {"1"}}, {2, word, {}}};
        fastrakhost::DeviceRecord record(section);
        testsupport::CaptureStdout capture;
        {
            fastrakhost::DeviceSession session(module, record.get());
            EXPECT_EQ(session.setUp(), -1) << word;
        }
        const std::string out = capture.finish();
        const bool unknown = out.find("Unknown option \"" + word + "\" found at line 2.") != std::string::npos;
        EXPECT_EQ(unknown, word == "hemisphre") << out;
    }
}

// The keywords of the option tables in docs/configuration.md, but for those it says the module
// reports as unknown, are the list.
TEST(DeviceKeywords, TheListIsTheReferencesKeywords) {
    std::ifstream in(FASTRAK_CONFIGURATION_DOC);
    ASSERT_TRUE(in) << FASTRAK_CONFIGURATION_DOC;
    std::vector<std::string> documented;
    std::string line;
    bool inTable = false;
    const std::regex word("`([a-z]+)`");
    while (std::getline(in, line)) {
        if (line.compare(0, 11, "| Keyword |") == 0) inTable = true;
        if (line.empty() || line[0] != '|') inTable = false;
        if (!inTable || line.compare(0, 3, "| `") != 0 || line.find("unknown option") != std::string::npos) continue;
        const std::string first = line.substr(0, line.find('|', 1));
        for (auto it = std::sregex_iterator(first.begin(), first.end(), word); it != std::sregex_iterator(); ++it)
            documented.push_back((*it)[1]);
    }
    std::vector<std::string> listed = deviceKeywords();
    std::sort(documented.begin(), documented.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(documented, listed);
}

}  // namespace
