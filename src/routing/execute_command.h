#pragma once

#include <string>

namespace talir {

struct CommandOutcome {
    bool ran = false;      // the process was created and has ended
    std::string text;      // "success" or an "Execute command error: " text
};

// Runs commandLine as a hidden child process and waits for its end. Logs
// the outcome; an exit code other than 0 is a failure.
CommandOutcome ExecuteCommand(const std::string& commandLine);

}  // namespace talir
