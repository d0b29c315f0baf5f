// Keyword comparison and integer reading shared by every option reader.
#pragma once

#include <cstdint>

// Lower-cases a writable string in place, up to its terminator.
void toLowerInPlace(char* text);

// 0 when equal ignoring letter case, -1 when the first is smaller, +1 when it is greater;
// bytes compare as unsigned characters after lower-casing. A null string compares as "".
int compareNoCase(const char* first, const char* second);

// True when the text begins with a letter: a word where a number was due reads as 0 otherwise.
bool startsWithLetter(const char* text);

// strtol with base 0: 0x hexadecimal, leading 0 octal, stops at the first misfit, 0 for no number.
int32_t toInteger(const char* text);
