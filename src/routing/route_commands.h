#pragma once

#include <string>

namespace talir {

// The TUN interface carries this address; it is also the default route's
// next hop into the tunnel.
extern const char kTunAddress[];

// Texts from the host may come from a server's configuration: only these
// forms ever reach a route command line.
bool IsInterfaceIndex(const char* text);  // 1 to 10 digits, fits 32 bits
bool IsDottedIPv4(const char* text);      // canonical dotted decimal

std::string RedirectCommand(const std::string& interfaceIndex);
// "route VERB DESTINATION mask MASK GATEWAY if INDEX"; verb is "add" or "delete".
std::string RouteCommand(const char* verb, const std::string& destination, const std::string& mask,
                         const std::string& gateway, const std::string& interfaceIndex);
// verb is "add" or "delete".
std::string PingRouteCommand(const char* verb, const std::string& address,
                             const std::string& gateway, const std::string& interfaceIndex);

}  // namespace talir
