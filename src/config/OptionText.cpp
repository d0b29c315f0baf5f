// compareNoCase, toLowerInPlace, startsWithLetter and toInteger.
#include "config/OptionText.h"

#include <cctype>
#include <cstdlib>

void toLowerInPlace(char* text) {
    if (text == nullptr) return;
    for (; *text != '\0'; ++text) *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

int compareNoCase(const char* first, const char* second) {
    // Lower-cases byte by byte rather than duplicating: the order is the same, and nothing allocates.
    const unsigned char* a = reinterpret_cast<const unsigned char*>(first ? first : "");
    const unsigned char* b = reinterpret_cast<const unsigned char*>(second ? second : "");
    for (;; ++a, ++b) {
        const int ca = std::tolower(*a);
        const int cb = std::tolower(*b);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

bool startsWithLetter(const char* text) {
    return text != nullptr && std::isalpha(static_cast<unsigned char>(text[0])) != 0;
}

int32_t toInteger(const char* text) {
    if (text == nullptr) return 0;
    // Truncated to 32 bits as on the 32-bit target, where long is 32 bits and strtol saturates.
    const long value = std::strtol(text, nullptr, 0);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}
