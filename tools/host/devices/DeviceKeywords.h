// DeviceKeywords: the device option keywords the module knows, and the one a misspelt word most
// likely meant.
#pragma once

#include <string>
#include <vector>

#include "fastrak/DeviceConfig.h"

namespace fastrakhost {

// In lower case, as docs/configuration.md lists them (the module takes them in any case).
const std::vector<std::string>& deviceKeywords();

// The keyword `word` most likely misspells: the nearest one, when no other is as near and it is
// near enough for the word's length; "" otherwise, and for a keyword itself.
std::string likelyKeyword(const std::string& word);
// The same among any list of words.
std::string nearestWord(const std::string& word, const std::vector<std::string>& words);

// For the lines the module left unused whose word is no keyword but near one:
// "line 15: 'hemisphre' is no keyword, did you mean 'hemisphere'?", joined by "; "; "" if none.
std::string keywordSuggestions(const DeviceConfig& config);

}  // namespace fastrakhost
