#pragma once

#include <string>

namespace talir {

struct CommandOutcome {
    bool ran = false;      // the process was created and has ended
    std::string text;      // "success" or an "Execute command error: " text
};

// Runs commandLine, whose first word names a tool of the system folder
// ("route ..." starts system32\route.exe), as a hidden child process that
// inherits no handle, and waits for its end; an exit code other than 0 is a
// failure. The tool receives commandLine as it is. Logs nothing.
CommandOutcome RunCommand(const std::string& commandLine);

// RunCommand, with the outcome logged.
CommandOutcome ExecuteCommand(const std::string& commandLine);

}  // namespace talir
