// How the cost of the exports whose work grows with the machine's state
// grows with it: routes in the table, adapters, top-level windows, the size
// of a log. As data: one row per timed work, each with its sizes.
#pragma once

#include "timing.h"

#include <functional>
#include <string>
#include <vector>

namespace bench {

// What arranging a size made: its name and the units of work it holds.
struct Size {
    std::string label;
    double units;
};

struct Scaling {
    std::string work;  // what is timed
    std::string unit;  // of the work it reads
    std::vector<long long> sizes;
    int calls;                                 // at each size
    std::function<Size(long long)> arrange;    // untimed: brings the machine to a size
    Work call;
    std::function<void()> finish = {};         // untimed: undoes the last arrangement
};

// calls: at each size. In the private namespace of scripts/bench.sh, whose
// uplink they fill with routes and empty again.
std::vector<Scaling> Scalings(int calls);

// GetSingInterface with 2, 16 and 64 adapters: in a Wine session of its own
// whose namespace starts with the loopback and the TUN alone.
Scaling AdapterScaling(int calls);

}  // namespace bench
