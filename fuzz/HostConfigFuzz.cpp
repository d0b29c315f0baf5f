// Fuzz target for fastrak-host's configuration reader: any text either fails with a line inside the
// file, or yields device records within the module's limits that say exactly what the file said.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "HostConfig.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    uint32_t lines = 1;
    for (char c : text) lines += c == '\n';
    fastrakhost::HostConfig config;
    fastrakhost::ConfigError error;
    if (!fastrakhost::parseConfig(text, "fuzz.conf", config, error)) {
        check(error.line >= 1 && error.line <= lines);
        check(!error.message.empty());
        return 0;
    }
    for (const auto& device : config.devices) {
        check(!device.name.empty());
        check(device.options.size() <= kMaxOptionLines);
        fastrakhost::DeviceRecord record(device);
        const DeviceConfig* built = record.get();
        check(built->lineCount == device.options.size());
        check(std::strcmp(built->deviceName, device.name.c_str()) == 0);
        uint32_t previous = device.lineNumber;
        for (uint32_t i = 0; i < built->lineCount; ++i) {
            const OptionLine& line = built->entries[i];
            check(line.lineNumber > previous && line.lineNumber <= lines);
            previous = line.lineNumber;
            check(line.argCount <= kMaxOptionArgs && line.argCount == device.options[i].args.size());
            check(line.keyword != nullptr && device.options[i].keyword == line.keyword);
            check(!device.options[i].keyword.empty() || line.keyword[0] == '\0');
            for (uint32_t a = 0; a < line.argCount; ++a) check(device.options[i].args[a] == line.args[a]);
            check(line.used == 0);
        }
    }
    return 0;
}
