// The figures: one line each on standard error while the benchmark runs,
// and BENCHMARKS.md at the end.
#pragma once

#include "timing.h"

#include <string>
#include <vector>

namespace bench {

struct Compared {
    std::string name, bare;
    int calls;
    Figures exported, plain;
};

struct Scaled {
    std::string work, size, unit;
    int calls;
    double units;
    Figures figures;
    // Against the size before; 0 at the first size.
    double growth, workGrowth;
};

// Growing no faster than the work, with the same room for noise as the
// ratio's goal.
constexpr double kGoal = 1.10;

void Print(const Compared& row);
void Print(const Scaled& row);

// Rows measured in another Wine session, handed over in a file.
void SaveRows(const char* path, const std::vector<Scaled>& rows);
std::vector<Scaled> LoadRows(const char* path);

void WriteReport(const char* path, const std::string& dll, int iterations, const std::vector<Compared>& compared,
                 const std::vector<Scaled>& scaled);

}  // namespace bench
