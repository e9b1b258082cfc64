/*
 * talirvpn.dll: the Windows side of the Talir VPN desktop client.
 *
 * Windows 10 or later, 64-bit. Every export runs on the caller's thread and
 * returns when its work is done. Paths are relative to the host's current
 * directory, which holds the lib_win folder (proxy core, its config.json and
 * both logs).
 *
 * Threads: any export may be called from any thread, and calls may overlap.
 * Overlapping calls give the results, log lines and effects of some
 * one-after-another order of the same calls: the log keeps whole lines, a
 * RunSingBox or AssignToJobObject and a StopSingBox never interleave, the
 * ping routes share one gateway lookup, and exactly one CheckAppRunning of
 * the first instance answers 0. A call that waits for a command (route,
 * netsh, schtasks) holds up no other export. The firewall exports need a
 * thread without COM or in a single-threaded apartment.
 *
 * Those commands are started from the system folder, hidden and with no
 * handle of the host; the DLLs loaded on demand (wininet.dll, fwpuclnt.dll) come from the
 * system folder too, never from the host's folder or the current directory.
 *
 * Two kinds of returned text:
 *   result string  char*, allocated by the library: the host owns it and
 *                  releases it exactly once with FreeString.
 *   constant text  const char*, the library's static data: valid while the
 *                  library is loaded; never freed, never written.
 * Success is the text "success"; every other text is a failure message,
 * except the answers named below ("true"/"false", an interface index).
 * When memory runs out an export returns the constant "Error: out of memory."
 * (any other unexpected failure: "Error: unexpected failure."), even where it
 * would return a result string; FreeString recognises both and leaves them
 * alone. No exception crosses an export.
 */
#ifndef TALIRVPN_H
#define TALIRVPN_H

#include <stdint.h>

#include "talirvpn_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library's export table (names and ordinals) is its .def file. */
#ifdef TALIRVPN_BUILDING_DLL
#define TALIRVPN_API
#else
#define TALIRVPN_API __declspec(dllimport)
#endif

/* Ordinal 1. path: executable let through by the inbound rule "TalirSingBox";
 * null or empty is refused. Bytes above 0x7F that form valid UTF-8 are read
 * as UTF-8 (Dart, Node, Rust hosts), any other path in the system's ANSI
 * code page (C, C# hosts). Returns constant text; a refused COM call logs
 * its HRESULT ("Error adding rule: 0x80070005 Access is denied."). */
TALIRVPN_API const char *AddFirewallRule(const char *path);

/* Ordinal 2. As AddFirewallRule, for the rule "TalirXray". Constant text. */
TALIRVPN_API const char *AddXrayFirewallRule(const char *path);

/* Ordinal 3. Puts the running process processId into the proxy core's job,
 * so that it ends with the core. Returns a result string: FreeString it. */
TALIRVPN_API char *AssignToJobObject(uint32_t processId);

/* Ordinal 4. 0: this process is the first instance (it now holds the
 * mutex); 6: another instance runs, its windows were brought to the front;
 * 1: the mutex could not be created. Nothing to release. */
TALIRVPN_API int32_t CheckAppRunning(void);

/* Ordinal 5. "true" when a rule "TalirSingBox" exists, "false" when not,
 * else an error. Constant text. */
TALIRVPN_API const char *CheckFirewallRule(void);

/* Ordinal 6. As CheckFirewallRule, for "TalirXray". Constant text. */
TALIRVPN_API const char *CheckXrayFirewallRule(void);

/* Ordinal 7. Resets the machine-wide WinHTTP proxy (netsh). No result. */
TALIRVPN_API void CleanProxy(void);

/* Ordinal 8. address: dotted IPv4 address to route past the tunnel through
 * the physical default gateway. Returns constant text. */
TALIRVPN_API const char *CreatePingRoute(const char *address);

/* Ordinal 9. Removes the scheduled task "TalirVPN Autorun" if it exists.
 * No result. */
TALIRVPN_API void DeleteAutorun(void);

/* Ordinal 10. Removes the rule "TalirSingBox". Constant text. */
TALIRVPN_API const char *DeleteFirewallRule(void);

/* Ordinal 11. address: dotted IPv4 address whose ping route goes.
 * Returns constant text. */
TALIRVPN_API const char *DeletePingRoute(const char *address);

/* Ordinal 12. Removes the rule "TalirXray". Constant text. */
TALIRVPN_API const char *DeleteXrayFirewallRule(void);

/* Ordinal 13. Releases a result string; null is accepted. Pass each result
 * string exactly once, and no constant text. */
TALIRVPN_API void FreeString(void *text);

/* Ordinal 14. Index of the adapter carrying 172.17.0.1, in decimal, or an
 * error text beginning "Error". Returns a result string: FreeString it. */
TALIRVPN_API char *GetSingInterface(void);

/* Ordinal 15. interfaceIndex: decimal index from GetSingInterface. Adds the
 * default route into the tunnel. Returns a result string: FreeString it. */
TALIRVPN_API char *RedirectToTun(const char *interfaceIndex);

/* Ordinal 16. Starts lib_win/sing-box hidden inside the library's
 * kill-on-close job. Returns constant text. */
TALIRVPN_API const char *RunSingBox(void);

/* Ordinal 17. port: points the user's proxy at 127.0.0.1:*port (1 to 65535)
 * on every connection Windows keeps proxy options for (the LAN and each
 * dial-up, PPPoE or VPN entry), with automatic detection and setup scripts
 * off; null switches it off. The first switch-on keeps each connection's
 * own settings and the two registry values in the user's own record
 * (HKCU\Software\TalirVPN); switching off gives back, by name, what still
 * names the library's proxy, keeping each field the user changed meanwhile
 * and leaving what the user switched away from it (README.md, "The
 * per-user proxy"). "success" only when the LAN reads back as set. Under
 * the per-machine proxy policy: "Error: proxy settings are per machine.",
 * nothing changed. "Error: failed to record the proxy settings.": nothing
 * changed; "Error: the record cannot be read; talirvpn-cli doctor --fix
 * sets it aside.": switching on refuses until then; "Error: failed to
 * update the record of the proxy settings.": given back, record stale;
 * "Error: failed to set the connections' proxy options.": a connection
 * refused them (what was not given back stays recorded for the next
 * switch-off). After a call that wrote a value, running programs that use
 * WinINet are told (wininet.dll and rasapi32.dll, loaded from the system
 * folder at the first switch). Returns constant text. */
TALIRVPN_API const char *SetSystemProxy(const int32_t *port);

/* Ordinal 18. Closes the job: the proxy core and every attached process end;
 * then ends the leak guard, if on. No result. */
TALIRVPN_API void StopSingBox(void);

/* Ordinal 19. Trims lib_win/talirvpn_dll.log to its last 2 MiB. No result. */
TALIRVPN_API void TruncateDllLog(void);

/* Ordinal 20. Trims lib_win/sing-box.log to its last 2 MiB. No result. */
TALIRVPN_API void TruncateSingLog(void);

/* Ordinal 21. For a host's start, before it connects: gives back the
 * user's proxy settings (as switching off does) when the host that set them
 * has died, and deletes each route that a host which has died added and
 * the forwarding table still shows (one into the tunnel only while no core
 * of this folder may run). A host is judged by a mark Windows removes with
 * its process, never by its id alone. Returns a result string, FreeString
 * it: "success" when there was nothing to undo, else one line per change
 * made or not made (with the system's reason), "\n" between them; a line
 * beginning "Error: nothing restored:" when a record cannot be read or only
 * live hosts' changes are there. */
TALIRVPN_API char *RestoreNetwork(void);

/* Ordinal 22. Opt-in leak guard, for after RunSingBox and the routes: while
 * it is on, DNS (UDP or TCP to port 53, TCP to 853) leaves only through the
 * TUN or loopback, and IPv6 leaves and arrives only through them, but for
 * lib_win\sing-box.exe itself, neighbour discovery and DHCPv6. Filters of
 * the Windows Filtering Platform in a dynamic session: they end with
 * StopLeakGuard, StopSingBox or the host process, and never outlive it.
 * Needs an elevated host, a TUN with a DNS server, and a core that resolves
 * names itself. A second call replaces the first set. fwpuclnt.dll is loaded
 * from the system folder at the first call. Returns a result string,
 * FreeString it: "success", "Error: sing interface not found.", or
 * "Error: leak guard: " and the system's reason. */
TALIRVPN_API char *StartLeakGuard(void);

/* Ordinal 23. Ends the leak guard, if on: every filter it added goes.
 * No result. */
TALIRVPN_API void StopLeakGuard(void);

#ifdef __cplusplus
}
#endif

#endif /* TALIRVPN_H */
