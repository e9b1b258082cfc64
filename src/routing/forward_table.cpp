#include "routing/forward_table.h"

#include "boundary/error_text.h"

#include <ws2tcpip.h>

namespace talir {

ForwardTable ReadForwardTable() {
    ForwardTable result;
    // Room for one row first; the system reports the size it needs.
    ULONG size = 0;
    MallocPtr<MIB_IPFORWARDTABLE> table(
        static_cast<MIB_IPFORWARDTABLE*>(std::malloc(sizeof(MIB_IPFORWARDTABLE))));
    if (!table) {
        result.status = ForwardTable::Status::NoMemory;
        return result;
    }
    if (GetIpForwardTable(table.get(), &size, FALSE) == ERROR_INSUFFICIENT_BUFFER) {
        table.reset(static_cast<MIB_IPFORWARDTABLE*>(std::malloc(size)));
        if (!table) {
            result.status = ForwardTable::Status::NoMemoryForRows;
            return result;
        }
    }
    if (GetIpForwardTable(table.get(), &size, FALSE) != NO_ERROR) {
        result.errorText = GetLastErrorText();
        return result;
    }
    result.status = ForwardTable::Status::Ok;
    result.table = std::move(table);
    return result;
}

std::optional<bool> HasRoute(const char* destination, const char* mask,
                             std::optional<unsigned long> interfaceIndex) {
    IN_ADDR wantedDestination{}, wantedMask{};
    if (inet_pton(AF_INET, destination, &wantedDestination) != 1 ||
        inet_pton(AF_INET, mask, &wantedMask) != 1) {
        return std::nullopt;
    }
    const ForwardTable read = ReadForwardTable();
    if (read.status != ForwardTable::Status::Ok) return std::nullopt;

    const MIB_IPFORWARDTABLE& table = *read.table;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table.table[i];
        if (row.dwForwardDest == wantedDestination.S_un.S_addr &&
            row.dwForwardMask == wantedMask.S_un.S_addr &&
            (!interfaceIndex || row.dwForwardIfIndex == *interfaceIndex)) {
            return true;
        }
    }
    return false;
}

}  // namespace talir
