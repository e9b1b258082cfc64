#pragma once

namespace talir {

// The TUN's interface index; false when there is none. The guard stands
// beside routing, which looks the TUN up: the export hands the lookup in.
using FindTun = bool (*)(unsigned long& index);

// Blocks DNS outside the tunnel and IPv6 outside it and loopback, except for
// the proxy core, in a dynamic session of the filtering engine: what it adds
// goes when StopLeakGuard closes the session or the host process ends. A
// second start replaces the first set once the new one is in place.
char* StartLeakGuard(FindTun findTun);
// Closes the guard's session, if any; true when there was one.
bool EndLeakGuard() noexcept;
void StopLeakGuard() noexcept;

// The name that the guard's session, sublayer and filters carry.
extern const wchar_t kLeakGuardName[];

}  // namespace talir
