// What a host that died left changed, put back by the next one: the
// record's proxy settings and routes, when the process the record names no
// longer runs.
#pragma once

#include "toolkit/execute_command.h"

#include <string>
#include <vector>

namespace talir {

// RestoreNetwork's work without its log; run starts the route tool
// (ExecuteCommand or the quiet RunCommand). Empty when there was nothing
// to undo, else one line per change made or not made.
std::vector<std::string> RestoreRecorded(CommandOutcome (*run)(const std::string& commandLine));

// Returns a result string: "success", or the lines of RestoreRecorded.
char* RestoreNetwork();

}  // namespace talir
