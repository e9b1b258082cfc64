#pragma once

namespace talir {

// Longer logs are cut to their last kLogLimit bytes.
constexpr long long kLogLimit = 2097152;

// Keeps the newest kLogLimit bytes of path; reports on standard output and
// standard error only.
void TruncateLogFile(const char* path);

}  // namespace talir
