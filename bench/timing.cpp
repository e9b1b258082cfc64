#include "timing.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace bench {
namespace {

double Now() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double Timed(const Work& work) {
    if (work.prepare) work.prepare();
    const double start = Now();
    work.run();
    return Now() - start;
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

Figures Summary(const std::vector<double>& times) {
    return {Percentile(times, 0.5), Percentile(times, 0.95)};
}

}  // namespace

Figures Time(const Work& work, int calls) {
    std::vector<double> times;
    for (int i = -calls / 10; i < calls; ++i) {
        const double time = Timed(work);
        if (i >= 0) times.push_back(time);
    }
    return Summary(times);
}

std::pair<Figures, Figures> TimeSideBySide(const Work& first, const Work& second, int calls) {
    std::vector<double> firstTimes, secondTimes;
    for (int i = -calls / 10; i < calls; ++i) {
        // Alternate which goes first: the second may find caches warm.
        double firstTime, secondTime;
        if (i % 2 == 0) {
            firstTime = Timed(first);
            secondTime = Timed(second);
        } else {
            secondTime = Timed(second);
            firstTime = Timed(first);
        }
        if (i < 0) continue;
        firstTimes.push_back(firstTime);
        secondTimes.push_back(secondTime);
    }
    return {Summary(firstTimes), Summary(secondTimes)};
}

}  // namespace bench
