#include "boundary/result_string.h"
#include "boundary/unique.h"
#include "log/write_log.h"
#include "routing/route_commands.h"
#include "routing/routing.h"

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

// The index of the first adapter, in the system's order, with a unicast
// address written exactly as the TUN address; empty when there is none.
std::string FindTunIndex(const IP_ADAPTER_ADDRESSES* adapters) {
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
                return std::to_string(adapter->IfIndex);
            }
        }
    }
    return {};
}

}  // namespace

char* GetSingInterface() {
    WriteLog("Getting sing tun");

    const char notFound[] = "Error: sing interface not found.";
    ULONG size = 0;
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) {
        return Report(notFound);
    }
    MallocPtr<IP_ADAPTER_ADDRESSES> adapters(static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size)));
    if (!adapters) return Report("Error getting sing interface number: memory allocation failed.");
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters.get(), &size) != NO_ERROR) {
        adapters.reset();
        return Report(notFound);
    }
    std::string index = FindTunIndex(adapters.get());
    adapters.reset();
    if (index.empty()) return Report(notFound);

    WriteLog("Success getting TalirVPN tun: " + index);
    return ToResultString(std::move(index));
}

}  // namespace talir
