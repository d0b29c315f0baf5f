// reportOptionError: the shared form of every bad-option line.
#include "config/OptionDiagnostics.h"

#include <iostream>

void reportOptionError(const Logger& owner, const char* ownerText, const char* problemPhrase, const char* optionPhrase,
                       uint32_t lineNumber, const char* terminatorText) {
    owner.error(ownerText ? ownerText : "", false);
    std::cout << (problemPhrase ? problemPhrase : "") << (optionPhrase ? optionPhrase : "") << lineNumber
              << (terminatorText ? terminatorText : "") << std::endl;
}
