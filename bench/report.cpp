#include "report.h"

#include <map>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

std::string Machine() {
    FILE* cpu = std::fopen("Z:\\proc\\cpuinfo", "r");
    char line[256];
    std::string model = "unknown processor";
    while (cpu && std::fgets(line, sizeof line, cpu)) {
        if (std::strncmp(line, "model name", 10) == 0) {
            model = std::strchr(line, ':') + 2;
            model.erase(model.find_last_not_of("\r\n") + 1);
            break;
        }
    }
    if (cpu) std::fclose(cpu);
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    using Version = const char* (*)();
    const auto version = reinterpret_cast<Version>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")));
    return model + ", " + std::to_string(info.dwNumberOfProcessors) + " cores, Wine " + (version ? version() : "?");
}

bool WithinGoal(const Scaled& row) {
    return row.growth <= kGoal * row.workGrowth;
}

// Rows timed against the version before rather than against bare work.
bool AgainstBefore(const Compared& row) {
    const std::string suffix = ", before";
    return row.name.size() > suffix.size() && row.name.compare(row.name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void WriteComparisons(FILE* out, const std::vector<Compared>& compared) {
    std::fprintf(out, "| Export | Bare work | Calls | Median | p95 | Bare median | Bare p95 | Ratio |\n");
    std::fprintf(out, "|---|---|---:|---:|---:|---:|---:|---:|\n");
    for (const Compared& row : compared) {
        if (AgainstBefore(row)) continue;
        std::fprintf(out, "| `%s` | %s | %d | %.1f | %.1f | %.1f | %.1f | %.2f |\n", row.name.c_str(),
                     row.bare.c_str(), row.calls, row.exported.median, row.exported.p95, row.plain.median,
                     row.plain.p95, row.exported.median / row.plain.median);
    }
}

void WriteScaling(FILE* out, const std::vector<Scaled>& scaled) {
    std::fprintf(out, "| Work | Size | Calls | Median | p95 | Per unit | Growth | Work growth | Within goal |\n");
    std::fprintf(out, "|---|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const Scaled& row : scaled) {
        // The work is named at its first size.
        std::fprintf(out, "| %s | %s | %d | %.1f | %.1f | %.2f per %s |", row.workGrowth > 0 ? "" : row.work.c_str(),
                     row.size.c_str(), row.calls, row.figures.median, row.figures.p95, row.figures.median / row.units,
                     row.unit.c_str());
        if (row.workGrowth > 0) {
            std::fprintf(out, " %.2f× | %.2f× | %s |\n", row.growth, row.workGrowth, WithinGoal(row) ? "yes" : "no");
        } else {
            std::fprintf(out, " | | |\n");
        }
    }
}

unsigned long FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes);
    return attributes.nFileSizeLow;
}

// The ping routes beside the version before's, when the run had it.
void WriteBefore(FILE* out, const std::vector<Compared>& compared) {
    bool first = true;
    for (const Compared& row : compared) {
        if (!AgainstBefore(row)) continue;
        if (first) {
            std::fprintf(out, "\nThe ping routes against the version before's, in the same run, alternating call by "
                              "call, each in a folder of its own (goal: no slower; a ratio within %.2f is within "
                              "the noise of the other rows):\n\n| Export | Calls | This version | p95 | The version "
                              "before | p95 | Ratio |\n|---|---:|---:|---:|---:|---:|---:|\n",
                         kGoal);
            first = false;
        }
        std::fprintf(out, "| `%s` | %d | %.1f | %.1f | %.1f | %.1f | %.2f |\n",
                     row.name.substr(0, row.name.find(',')).c_str(), row.calls, row.exported.median, row.exported.p95,
                     row.plain.median, row.plain.p95, row.exported.median / row.plain.median);
    }
}

// One line, with this run's figures, for each ratio above the goal.
void WriteAboveGoal(FILE* out, const std::vector<Compared>& compared, const std::string& dll) {
    const Compared* image = nullptr;
    for (const Compared& row : compared) image = row.name == "LoadLibraryEx, image only" ? &row : image;
    const std::string minimal = dll.substr(0, dll.find_last_of('\\') + 1) + "standins\\bench_minimal.dll";
    bool first = true;
    for (const Compared& row : compared) {
        const double extra = row.exported.median - row.plain.median;
        if (row.exported.median <= kGoal * row.plain.median || AgainstBefore(row)) continue;
        std::fprintf(out, "%s- `%s`: %.1f more. ", first ? "\nWhere a ratio is above the goal:\n\n" : "", row.name.c_str(),
                     extra);
        first = false;
        if (row.name == "LoadLibrary+FreeLibrary" && image != nullptr) {
            const double mapping = image->exported.median - image->plain.median;
            std::fprintf(out,
                         "Mapping the larger image accounts for %.1f of it (the row below); the other %.1f are "
                         "the static C++ runtime's start and end and the library's static objects (log stream, "
                         "rule names, gateway texts), once per load.\n",
                         mapping, extra - mapping);
        } else if (&row == image) {
            std::fprintf(out, "The library's image is %lu bytes, the minimal DLL's %lu: the loader maps and "
                              "relocates the difference.\n", FileSize(dll), FileSize(minimal));
        } else {
            std::fprintf(out, "%s: the bare p95 is %.1f.\n",
                         row.plain.p95 >= row.exported.median ? "Within this run's noise" : "Beyond this run's noise",
                         row.plain.p95);
        }
    }
}

}  // namespace

void Print(const Compared& row) {
    std::fprintf(stderr, "%-24s %9.1f us  bare %9.1f us  ratio %.2f\n", row.name.c_str(), row.exported.median,
                 row.plain.median, row.exported.median / row.plain.median);
}

void Print(const Scaled& row) {
    std::fprintf(stderr, "%s, %s: %.1f us, %.2f us per %s", row.work.c_str(), row.size.c_str(), row.figures.median,
                 row.figures.median / row.units, row.unit.c_str());
    if (row.workGrowth > 0) std::fprintf(stderr, "  growth %.2fx, work %.2fx", row.growth, row.workGrowth);
    std::fputc('\n', stderr);
}

void SaveRows(const char* path, const std::vector<Scaled>& rows) {
    std::ofstream out(path, std::ios::binary);
    for (const Scaled& row : rows) {
        out << row.work << '\t' << row.size << '\t' << row.unit << '\t' << row.calls << '\t' << row.units << '\t'
            << row.figures.median << '\t' << row.figures.p95 << '\t' << row.growth << '\t' << row.workGrowth << '\n';
    }
}

std::vector<Scaled> LoadRows(const char* path) {
    std::vector<Scaled> rows;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Scaled row{};
        std::getline(fields, row.work, '\t');
        std::getline(fields, row.size, '\t');
        std::getline(fields, row.unit, '\t');
        fields >> row.calls >> row.units >> row.figures.median >> row.figures.p95 >> row.growth >> row.workGrowth;
        if (fields) rows.push_back(row);
    }
    return rows;
}

void WriteReport(const char* path, const std::string& dll, int iterations, const std::vector<Compared>& compared,
                 const std::vector<Scaled>& scaled) {
    FILE* out = std::fopen(path, "wb");
    if (!out) return;
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::fprintf(out, "# Benchmarks\n\n");
    std::fprintf(out, "Produced by `scripts/bench.sh` (talirvpn-bench, %d iterations of the cheap exports) on %s.\n\n",
                 iterations, date);
    std::fprintf(out, "Machine: %s, under Wine on Debian 12, in a private network namespace.\n\n", Machine().c_str());
    std::fprintf(out, "talirvpn.dll, the release zip's: %lu bytes.\n\n", FileSize(dll));
    std::fprintf(out,
                 "Each export is timed against the bare Windows work it must do, done by the benchmark itself "
                 "without the library, with the same stand-ins and one plain echo and write of each log line "
                 "the export writes; the two alternate call by call. Times in microseconds; ratio = export "
                 "median / bare median (goal: at most %.2f).\n\n",
                 kGoal);
    WriteComparisons(out, compared);
    WriteAboveGoal(out, compared, dll);
    WriteBefore(out, compared);

    std::fprintf(out, "\n## Growth with the size of the work\n\n");
    std::fprintf(out,
                 "The work that grows with the machine's state, timed at each size in the same run, one size "
                 "after the other: the gateway lookup and the route check as the library's own routines, "
                 "since the `route` process that `CreatePingRoute` starts would hide them in its noise (the "
                 "TUN is found once, before); `CheckAppRunning` as a second instance, with hidden windows of "
                 "another thread; `TruncateSingLog` of a log made afresh before each call, sparse between its "
                 "first and last 2 MiB (a 3 MiB log's trim drops 1 MiB of lines, a larger one's the 2 MiB it "
                 "read); `GetSingInterface` in a Wine session of its own that starts with the "
                 "loopback and the TUN alone (Wine lists every adapter it has seen in a session, removed ones "
                 "too). Times in microseconds; growth = median / median at the size before, against the "
                 "growth of the work read: rows of the table, adapters, windows, the 2 MiB kept. The goal: no "
                 "faster than the work (growth at most %.2f times the work's).\n\n",
                 kGoal);
    WriteScaling(out, scaled);
    std::fclose(out);
}

}  // namespace bench
