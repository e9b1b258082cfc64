#pragma once

#include "record/record_text.h"

#include <string>
#include <vector>

namespace talir {

// The per-user proxy's key under HKEY_CURRENT_USER.
extern const char kInternetSettings[];

int CheckAppRunning();
const char* SetSystemProxy(const int* port);

// SetSystemProxy(nullptr)'s work without its log: gives back the settings
// that the record kept, where they still hold what the library set, or
// without a record switches the proxy off as always. lines: what it gave
// back, left or could not change, with the system's reason.
struct ProxySwitch {
    const char* result;
    std::vector<std::string> lines;
};
ProxySwitch SwitchProxyOff();
// The same for a record the caller holds (under RecordLock) and writes: gives
// back record.proxy, and drops it once everything is back.
ProxySwitch GiveBackProxy(ChangeRecord& record);
void CleanProxy();
void DeleteAutorun();

}  // namespace talir
