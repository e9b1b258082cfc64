#include "routing/route_commands.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace talir {

const char kTunAddress[] = "172.17.0.1";

bool IsInterfaceIndex(const char* text) {
    if (text == nullptr) return false;
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 10 || std::strspn(text, "0123456789") != length) return false;
    return std::stoull(text) <= 0xFFFFFFFFull;
}

bool IsDottedIPv4(const char* text) {
    if (text == nullptr || std::strlen(text) >= INET_ADDRSTRLEN) return false;
    IN_ADDR address{};
    if (inet_pton(AF_INET, text, &address) != 1) return false;
    // The round trip rejects leading zeros and every other non-canonical form.
    char canonical[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address, canonical, sizeof canonical) != nullptr &&
           std::strcmp(canonical, text) == 0;
}

std::string RedirectCommand(const std::string& interfaceIndex) {
    return std::string("route add 0.0.0.0 mask 0.0.0.0 ") + kTunAddress + " if " + interfaceIndex;
}

std::string RouteCommand(const char* verb, const std::string& destination, const std::string& mask,
                         const std::string& gateway, const std::string& interfaceIndex) {
    return std::string("route ") + verb + " " + destination + " mask " + mask + " " + gateway + " if " + interfaceIndex;
}

std::string PingRouteCommand(const char* verb, const std::string& address,
                             const std::string& gateway, const std::string& interfaceIndex) {
    return RouteCommand(verb, address, "255.255.255.255", gateway, interfaceIndex);
}

}  // namespace talir
