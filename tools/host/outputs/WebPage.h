// WebPage: the web view's files, built into the program from tools/host/outputs/web so it needs no folder.
#pragma once

#include <cstddef>

namespace fastrakhost {

struct WebFile {
    const char* path;  // as requested, without the leading '/'
    const char* type;  // Content-Type
    const unsigned char* data;
    size_t size;
};

const WebFile* webPageFiles(size_t& count);

}  // namespace fastrakhost
