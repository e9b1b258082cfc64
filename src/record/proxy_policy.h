#pragma once

namespace talir {

// The group policy "Make proxy settings per-machine": WinINet then ignores
// the user's proxy settings, and a write of the connections' options would
// change every user's.
bool ProxySettingsPerMachine();

}  // namespace talir
