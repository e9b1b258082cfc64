#pragma once

#include <string>

namespace talir {

// The physical default gateway and its interface index, as text: empty
// until looked up, "Error" after a failed lookup. Read by the ping routes.
extern std::string DefaultGateway;
extern std::string DefaultInterface;

// Fills both from the forwarding table: the default route with the lowest
// metric that does not lead into the tunnel.
void GetDefaultGatewayAndInterface();

}  // namespace talir
