// The per-connection proxy options that WinINet keeps, and through it every
// browser: one set for the LAN and one per dial-up, PPPoE or VPN entry.
// The two legacy registry values are only a copy of the LAN's.
#pragma once

#include "record/record_text.h"

#include <string>
#include <vector>

namespace talir {

// The LAN first, then every entry of the user's and of all users' phone
// books. False, with the system's reason, when they cannot be listed.
bool ListConnections(std::vector<std::wstring>& names, std::string& errorText);

// Reads the options of proxy.name into proxy: the flags as the settings
// dialog shows them where Windows has them (detection that found nothing
// clears the plain flags).
bool QueryConnection(ConnectionProxy& proxy, std::string& errorText);

// Sets the flags, server and bypass list of proxy.name, and its script's
// address when withScript.
bool SetConnection(const ConnectionProxy& proxy, bool withScript, std::string& errorText);

// Tells programs that use WinINet, running ones too, that the proxy
// settings changed: they keep what they read until told. Failures are
// ignored.
void NotifyProxyChange();

}  // namespace talir
