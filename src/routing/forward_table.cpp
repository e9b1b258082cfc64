#include "routing/forward_table.h"

#include "toolkit/error_text.h"

#include <ws2tcpip.h>

namespace talir {

ForwardTable ReadForwardTable(ForwardTableReader read) {
    // Enough for routes that keep appearing while we read; a table that
    // still outgrows its buffer after that is a failure like any other.
    constexpr int kReads = 5;

    ForwardTable result;
    // Room for one row first; the system reports the size it needs.
    ULONG size = 0;
    MallocPtr<MIB_IPFORWARDTABLE> table(
        static_cast<MIB_IPFORWARDTABLE*>(std::malloc(sizeof(MIB_IPFORWARDTABLE))));
    if (!table) {
        result.status = ForwardTable::Status::NoMemory;
        return result;
    }
    DWORD status = read(table.get(), &size, FALSE);
    for (int reads = 0; reads < kReads; ++reads) {
        if (status == ERROR_INSUFFICIENT_BUFFER) {
            table.reset(static_cast<MIB_IPFORWARDTABLE*>(std::malloc(size)));
            if (!table) {
                result.status = ForwardTable::Status::NoMemoryForRows;
                return result;
            }
        }
        status = read(table.get(), &size, FALSE);
        if (status != ERROR_INSUFFICIENT_BUFFER) break;
    }
    if (status != NO_ERROR) {
        // The code comes back as the result; the thread's last error need
        // not hold it.
        result.errorText = ErrorText(status);
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
