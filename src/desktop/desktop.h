#pragma once

namespace talir {

// The per-user proxy's key under HKEY_CURRENT_USER.
extern const char kInternetSettings[];

int CheckAppRunning();
const char* SetSystemProxy(const int* port);
void CleanProxy();
void DeleteAutorun();

}  // namespace talir
