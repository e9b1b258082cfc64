#include "log/write_log.h"
#include "routing/route_commands.h"
#include "routing/routing.h"
#include "routing/tun_interface.h"
#include "toolkit/result_string.h"
#include "toolkit/unique.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstring>

namespace talir {
namespace {

char* Report(std::string text) {
    WriteLog(text);
    return ToResultString(std::move(text));
}

bool FindTunIndex(const IP_ADAPTER_ADDRESSES* adapters, unsigned long& index) {
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter; adapter = adapter->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast;
             unicast = unicast->Next) {
            const SOCKADDR* socketAddress = unicast->Address.lpSockaddr;
            if (socketAddress == nullptr) continue;
            const void* field =
                socketAddress->sa_family == AF_INET
                    ? static_cast<const void*>(&reinterpret_cast<const SOCKADDR_IN*>(socketAddress)->sin_addr)
                    : static_cast<const void*>(&reinterpret_cast<const SOCKADDR_IN6*>(socketAddress)->sin6_addr);
            char text[INET6_ADDRSTRLEN] = {};
            if (inet_ntop(socketAddress->sa_family, field, text, sizeof text) != nullptr &&
                std::strcmp(text, kTunAddress) == 0) {
                index = adapter->IfIndex;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

TunLookup FindTunInterface(unsigned long& index) {
    // The list grows between the size the system reports and the read just
    // when the TUN comes up: read again, as the system asks, a few times.
    ULONG size = 15 * 1024;
    MallocPtr<IP_ADAPTER_ADDRESSES> adapters;
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
        adapters.reset(static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size)));
        if (!adapters) return TunLookup::NoMemory;
        status = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters.get(), &size);
    }
    if (status != NO_ERROR) return TunLookup::NotFound;
    return FindTunIndex(adapters.get(), index) ? TunLookup::Found : TunLookup::NotFound;
}

char* GetSingInterface() {
    WriteLog("Getting sing tun");

    unsigned long found = 0;
    switch (FindTunInterface(found)) {
    case TunLookup::Found:
        break;
    case TunLookup::NotFound:
        return Report("Error: sing interface not found.");
    case TunLookup::NoMemory:
        return Report("Error getting sing interface number: memory allocation failed.");
    }
    std::string index = std::to_string(found);
    WriteLog("Success getting TalirVPN tun: " + index);
    return ToResultString(std::move(index));
}

}  // namespace talir
