// parseCommandLine: CLI11's parse with the rules every tool shares: --help and --version print and
// end the program with 0, a usage error is one line on standard error and exit status 2.
#pragma once

#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>
#include <string>

namespace fastraktools {

// A usage error found after the parse, told as the parse tells its own; the exit status.
inline int usageError(const std::string& program, const std::string& message) {
    std::cerr << program << ": " << message << "\nRun with --help for more information.\n";
    return 2;
}

// The exit status when the program is to end at once; nothing when it is to go on.
inline std::optional<int> parseCommandLine(CLI::App& app, int argc, char** argv, const std::string& program) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << std::endl;
        return 0;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        return usageError(program, e.what());
    }
}

}  // namespace fastraktools
