#pragma once

namespace talir {

// The per-user proxy's key under HKEY_CURRENT_USER.
extern const char kInternetSettings[];

int CheckAppRunning();
// Tells programs that use WinINet, running ones too, that the per-user
// proxy values changed: they keep what they read until told. Failures are
// ignored.
void NotifyProxyChange();
const char* SetSystemProxy(const int* port);
void CleanProxy();
void DeleteAutorun();

}  // namespace talir
