#pragma once

namespace talir {

char* GetSingInterface();
char* RedirectToTun(const char* interfaceIndex);
const char* CreatePingRoute(const char* address);
const char* DeletePingRoute(const char* address);

}  // namespace talir
