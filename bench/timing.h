// Timing: microseconds from the performance counter; the median and the
// 95th percentile of a series of calls, the first tenth of which warms up.
#pragma once

#include <functional>
#include <utility>

namespace bench {

// One timed call and the untimed step that sets it up.
struct Work {
    std::function<void()> run;
    std::function<void()> prepare = {};  // untimed, before each run
};

struct Figures {
    double median = 0;
    double p95 = 0;
};

// calls timed runs of work.
Figures Time(const Work& work, int calls);

// calls timed runs of each, call by call, so that drift of the machine falls
// on both alike.
std::pair<Figures, Figures> TimeSideBySide(const Work& first, const Work& second, int calls);

}  // namespace bench
