// Stand-in for Windows' route tool. Appends its command line (UTF-8, marked
// when not started hidden) to route.calls in the current folder; then, unless ROUTE_STANDIN_REFUSE is
// set, applies "add|delete DEST mask MASK [GATEWAY] [if INDEX]" to the
// routing table of the tests' namespace through net.sh. Exits with
// ROUTE_STANDIN_EXIT (default 0) whatever happened, as the real tool may.
#include "../command_line.h"
#include "net_run.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

int wmain() {
    const std::string commandLine = OwnCommandLine();
    if (FILE* record = std::fopen("route.calls", "ab")) {
        std::fprintf(record, "%s\n", OwnCommandLineAndShow().c_str());
        std::fclose(record);
    }

    char setting[32] = {};
    const DWORD exitCode =
        GetEnvironmentVariableA("ROUTE_STANDIN_EXIT", setting, sizeof setting) ? std::strtoul(setting, nullptr, 10) : 0;
    if (GetEnvironmentVariableA("ROUTE_STANDIN_REFUSE", setting, sizeof setting)) return static_cast<int>(exitCode);

    std::istringstream words(commandLine);
    std::vector<std::string> word;
    for (std::string w; words >> w;) word.push_back(w);
    if (word.size() < 3) return static_cast<int>(exitCode);
    std::string mask = "255.255.255.255", gateway, index;
    for (size_t i = 3; i < word.size(); ++i) {
        if (word[i] == "mask" && i + 1 < word.size()) {
            mask = word[++i];
        } else if (word[i] == "if") {
            if (i + 1 < word.size()) index = word[++i];
        } else {
            gateway = word[i];
        }
    }
    const std::string answer = talir_net::RunNet("route " + word[1] + " " + word[2] + "/" + mask + " " +
                                                 (gateway.empty() ? "-" : gateway) + " " + (index.empty() ? "-" : index));
    if (answer.find("status 0\n") == std::string::npos) std::fprintf(stderr, "route stand-in: %s\n", answer.c_str());
    return static_cast<int>(exitCode);
}
