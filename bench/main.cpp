// talirvpn-bench: what each export costs against the bare Windows work it
// must do, and how the cost of those whose work grows with the machine's
// state grows with it.
//
//   talirvpn-bench [iterations] [BENCHMARKS.md] [the version before's DLL]
//   talirvpn-bench --adapters [iterations]
//
// Runs inside the network namespace that scripts/bench.sh prepares (a TUN
// with 172.17.0.1 and a physical default route). Wine lists every adapter
// it has seen in a session, so the adapters' sizes come from a session of
// their own, run first (--adapters): its figures wait in the working
// folder for the full run's report.
#include "comparisons.h"
#include "fixture.h"
#include "report.h"
#include "scaling.h"
#include "talirvpn.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace bench;

const char kAdapterFigures[] = "adapters.tsv";

void Measure(const Scaling& row, std::vector<Scaled>& scaled) {
    for (size_t i = 0; i < row.sizes.size(); ++i) {
        const Size arranged = row.arrange(row.sizes[i]);
        const Figures figures = Time(row.call, row.calls);
        const Scaled* before = i > 0 ? &scaled.back() : nullptr;
        scaled.push_back({row.work, arranged.label, row.unit, row.calls, arranged.units, figures,
                          before ? figures.median / before->figures.median : 0,
                          before ? arranged.units / before->units : 0});
        Print(scaled.back());
    }
    if (row.finish) row.finish();
}

}  // namespace

int main(int argc, char** argv) {
    const bool adaptersOnly = argc > 1 && std::strcmp(argv[1], "--adapters") == 0;
    if (adaptersOnly) --argc, ++argv;
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    const char* report = argc > 2 ? argv[2] : nullptr;
    const std::string before = argc > 3 ? argv[3] : "";
    const int scaledCalls = std::max(10, iterations / 20);

    const Fixture fixture = SetUp();
    // The exports echo every log line; the figures go to stderr.
    std::freopen("NUL", "w", stdout);

    char* found = GetSingInterface();
    const std::string tun = found;
    FreeString(found);
    if (tun.empty() || tun[0] == 'E') {
        std::fprintf(stderr, "no TUN with 172.17.0.1: run through scripts/bench.sh\n");
        return 1;
    }
    std::fprintf(stderr, "TUN interface %s; %d iterations\n", tun.c_str(), iterations);

    std::vector<Scaled> scaled;
    if (adaptersOnly) {
        Measure(AdapterScaling(scaledCalls), scaled);
        SaveRows(kAdapterFigures, scaled);
        TearDown();
        return 0;
    }

    // Timed one size after the other, the sizes first: in a process that
    // has not yet run thousands of calls (and loads of the library).
    for (const Scaling& row : Scalings(scaledCalls)) Measure(row, scaled);
    const std::vector<Scaled> adapters = LoadRows(kAdapterFigures);
    scaled.insert(scaled.end(), adapters.begin(), adapters.end());
    DeleteFileA(kAdapterFigures);

    std::vector<Compared> compared;
    for (const Comparison& row : Comparisons(fixture, iterations, tun, before)) {
        const auto [exported, plain] = TimeSideBySide(row.exported, row.plain, row.calls);
        compared.push_back({row.name, row.bare, row.calls, exported, plain});
        Print(compared.back());
    }
    AfterComparisons();

    TearDown();
    if (report) WriteReport(report, fixture.binDir + "talirvpn.dll", iterations, compared, scaled);
    return 0;
}
