// The marks of a running client, also read by the CLI's doctor.
#pragma once

#include <windows.h>

#include <vector>

namespace talir {

// Held by the first instance for its whole life.
extern const wchar_t kInstanceMutex[];

// Top-level windows titled exactly "Talir VPN", front to back; what was
// found so far when memory runs out.
std::vector<HWND> FindClientWindows();

}  // namespace talir
