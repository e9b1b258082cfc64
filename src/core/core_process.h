// Whether a proxy core started from this folder runs: a running
// sing-box.exe that is the very file lib_win\sing-box.exe, by volume and
// index, whatever path reached it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace talir {

struct CoreProcess {
    enum class Is { Core, Other, Unknown };
    unsigned long id = 0;
    Is is = Is::Unknown;
    std::string detail;  // Other: its image; Unknown: why it cannot be told apart
};

struct CoreSearch {
    std::string error;  // the process list cannot be read
    std::vector<CoreProcess> processes;  // those named sing-box.exe
};

// core: the path of lib_win\sing-box.exe.
CoreSearch FindCores(const std::wstring& core);

// Yes when one is the core, no when every one is proven another file; empty
// when that cannot be told.
std::optional<bool> CoreRuns(const CoreSearch& search);

}  // namespace talir
