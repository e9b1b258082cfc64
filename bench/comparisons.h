// The exports against their bare work, as data: one row per export.
#pragma once

#include "fixture.h"
#include "timing.h"

#include <string>
#include <vector>

namespace bench {

struct Comparison {
    std::string name;  // the export
    std::string bare;  // its bare work, in words
    int calls;
    Work exported;
    Work plain;
};

// iterations calls of the cheap exports, a tenth of them (at least 10) of
// those that start a process. tun: the TUN's interface index. before: a
// copy of the version before's DLL, whose ping routes are timed beside
// this one's; none when empty.
std::vector<Comparison> Comparisons(const Fixture& fixture, int iterations, const std::string& tun,
                                    const std::string& before);

// Undoes what the rows leave behind: the strings not freed, the proxy
// setting, the rule, the ping route, the jobs and their processes.
void AfterComparisons();

}  // namespace bench
