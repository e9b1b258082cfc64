#pragma once

namespace talir {

enum class TunLookup { Found, NotFound, NoMemory };

// Reads the adapter list and finds the first adapter, in the system's order,
// with a unicast address written exactly as the TUN address. Logs nothing.
TunLookup FindTunInterface(unsigned long& index);

}  // namespace talir
