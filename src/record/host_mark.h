// Whether the host that made a change still runs, told by something that
// Windows ends with the process: a named object the host holds for its
// life. An id alone may be another process's by now, and a process of
// another user or session may not be opened at all.
#pragma once

#include "record/record_text.h"

#include <string>

namespace talir {

// This process, as the record names it.
Owner ThisHost();

// Makes this process's mark once; it lasts until the process ends. The
// system's reason when it cannot be made, else empty. A change is recorded
// only by a marked host: an unmarked one would count as gone.
std::string MarkThisHost();

enum class HostState { Runs, Gone, Unknown };
// Runs while its mark exists (also when the mark is another user's and may
// not be opened), Gone once it does not. A version-1 owner has no mark:
// its process, by id and creation time, tells.
HostState LookAtHost(const Owner& owner);

}  // namespace talir
