// The per-user proxy (and whether anything listens where it points) and the
// WinHTTP proxy, both only read.
#include "doctor.h"

#include "desktop/desktop.h"
#include "desktop/proxy_options.h"
#include "record/proxy_policy.h"
#include "record/record_store.h"
#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>

namespace talir::doctor {
namespace {

// A TCP table of the system; connections come and go between the size and
// the read.
template <typename Table>
DWORD ReadTcpTable(ULONG(WINAPI* read)(Table*, PULONG, BOOL), MallocPtr<Table>& table) {
    ULONG size = sizeof(Table);
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    for (int reads = 0; reads < 5 && status == ERROR_INSUFFICIENT_BUFFER; ++reads) {
        table.reset(static_cast<Table*>(std::malloc(size)));
        if (!table) return ERROR_NOT_ENOUGH_MEMORY;
        status = read(table.get(), &size, FALSE);
    }
    return status;
}

// Ports on which a TCP socket listens for 127.0.0.1: an IPv4 one on it or
// on every address, or an IPv6 one on its mapped form or on every address.
// The table does not say whether a socket on :: also takes IPv4 (the
// default of Go and .NET servers); such a listener counts, so that a proxy
// is never called dead on a guess. The system's code when a table cannot be
// read.
DWORD LoopbackListeners(std::vector<unsigned short>& ports) {
    MallocPtr<MIB_TCPTABLE> table;
    MallocPtr<MIB_TCP6TABLE> table6;
    if (const DWORD status = ReadTcpTable(&GetTcpTable, table); status != NO_ERROR) return status;
    if (const DWORD status = ReadTcpTable(&GetTcp6Table, table6); status != NO_ERROR) return status;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& row = table->table[i];
        if (row.dwState == MIB_TCP_STATE_LISTEN &&
            (row.dwLocalAddr == htonl(INADDR_LOOPBACK) || row.dwLocalAddr == htonl(INADDR_ANY))) {
            ports.push_back(ntohs(static_cast<u_short>(row.dwLocalPort)));
        }
    }
    const IN6_ADDR mappedLoopback = {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1}}};
    for (DWORD i = 0; i < table6->dwNumEntries; ++i) {
        const MIB_TCP6ROW& row = table6->table[i];
        if (row.State == MIB_TCP_STATE_LISTEN &&
            (IN6_IS_ADDR_UNSPECIFIED(&row.LocalAddr) || IN6_ADDR_EQUAL(&row.LocalAddr, &mappedLoopback))) {
            ports.push_back(ntohs(static_cast<u_short>(row.dwLocalPort)));
        }
    }
    return NO_ERROR;
}

// The port of a proxy written as 127.0.0.1:PORT, as SetSystemProxy writes
// it; 0 for any other proxy.
unsigned short LoopbackPort(std::wstring server) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    SOCKADDR_IN address{};
    INT length = sizeof address;
    const bool parsed = WSAStringToAddressW(server.data(), AF_INET, nullptr, reinterpret_cast<SOCKADDR*>(&address),
                                            &length) == 0;
    WSACleanup();
    return parsed && address.sin_addr.S_un.S_addr == htonl(INADDR_LOOPBACK) ? ntohs(address.sin_port) : 0;
}

// A text value of key; empty when it is not there.
std::wstring TextValue(HKEY key, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS) return {};
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

}  // namespace

// The legacy values, each connection's options (what browsers use), the
// per-machine policy and the library's record; a loopback proxy in force
// where nothing listens cuts every browser off.
Check CheckUserProxy() {
    Check check{"user_proxy"};
    UniqueKey key;
    const LSTATUS opened = RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE, key.put());
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
        return CannotCheck(std::move(check), OneLine(ErrorText(opened)));
    }
    DWORD enable = 0, size = sizeof enable;
    const bool enableSet =
        RegGetValueW(key.get(), nullptr, L"ProxyEnable", RRF_RT_REG_DWORD, nullptr, &enable, &size) == ERROR_SUCCESS;
    const std::wstring server = TextValue(key.get(), L"ProxyServer");
    check.facts.push_back("ProxyEnable " + (enableSet ? std::to_string(enable) : std::string("not set")));
    check.facts.push_back("ProxyServer " + (server.empty() ? std::string("not set") : Utf8(server)));
    std::vector<unsigned short> ports;
    if (enable != 0 && LoopbackPort(server) != 0) ports.push_back(LoopbackPort(server));

    if (ProxySettingsPerMachine()) {
        check.facts.push_back("per-machine policy: Windows ignores the user's settings");
        Flag(check, Status::Note, "");
    }
    std::vector<std::wstring> names;
    std::string problem;
    if (!ListConnections(names, problem)) {
        check.facts.push_back("dial-up and VPN connections cannot be listed: " + OneLine(problem));
        Flag(check, Status::Note, "");
    }
    for (const std::wstring& name : names) {
        ConnectionProxy connection{name};
        if (!QueryConnection(connection, problem)) {
            check.facts.push_back("cannot read " + OneLine(problem));
            Flag(check, Status::Note, "");
            continue;
        }
        check.facts.push_back(DescribeConnection(connection));
        const unsigned short port = ProxyInForce(connection) ? LoopbackPort(connection.server) : 0;
        if (port != 0 && std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
    }
    // The record check tells what it holds.
    const RecordRead record = ReadUserRecord();
    if (record.state == RecordState::Read && record.record.proxy) {
        check.facts.push_back("record: the settings from before kept");
    }
    if (ports.empty()) return check;

    std::vector<unsigned short> listening;
    if (const DWORD status = LoopbackListeners(listening); status != NO_ERROR) {
        return CannotCheck(std::move(check), "the TCP table: " + OneLine(ErrorText(status)));
    }
    for (const unsigned short port : ports) {
        const std::string where = "127.0.0.1:" + std::to_string(port);
        if (std::find(listening.begin(), listening.end(), port) != listening.end()) {
            check.facts.push_back("something listens on " + where);
        } else {
            check.facts.push_back("nothing listens on " + where + ": every browser is cut off");
            Flag(check, Status::Problem,
                 "SetSystemProxy with no port, or switch the proxy off in Windows' settings");
            check.proxyOff = true;
        }
    }
    return check;
}

Check CheckWinHttpProxy() {
    Check check{"winhttp_proxy"};
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetDefaultProxyConfiguration(&info)) {
        return CannotCheck(std::move(check), OneLine(GetLastErrorText()));
    }
    const UniqueGlobal proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || info.lpszProxy == nullptr) {
        check.facts.push_back("direct");
        return check;
    }
    check.facts.push_back("proxy " + Utf8(info.lpszProxy));
    if (info.lpszProxyBypass != nullptr && *info.lpszProxyBypass != L'\0') {
        check.facts.push_back("bypass " + Utf8(info.lpszProxyBypass));
    }
    Flag(check, Status::Note, "CleanProxy");
    return check;
}

}  // namespace talir::doctor
