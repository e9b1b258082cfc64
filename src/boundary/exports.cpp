// The exports. Each is a guarded call into its subsystem; the table
// with ordinals is talirvpn.def, the contract is talirvpn.h.
#include "talirvpn.h"

#include "boundary/guard.h"
#include "core/attach.h"
#include "core/sing_box.h"
#include "desktop/desktop.h"
#include "firewall/firewall_rules.h"
#include "guard/leak_guard.h"
#include "log/truncate_log.h"
#include "log/write_log.h"
#include "restore/restore_network.h"
#include "routing/routing.h"
#include "routing/tun_interface.h"
#include "toolkit/result_string.h"

using talir::Guarded;

namespace {

// The guard stands beside routing on its floor: the TUN's lookup is handed in.
bool FindTun(unsigned long& index) {
    const talir::TunLookup found = talir::FindTunInterface(index);
    if (found == talir::TunLookup::NoMemory) throw std::bad_alloc();
    return found == talir::TunLookup::Found;
}

}  // namespace

extern "C" {

const char* AddFirewallRule(const char* path) {
    return Guarded([&] { return talir::AddRule(talir::SingBoxRule, path); });
}

const char* AddXrayFirewallRule(const char* path) {
    return Guarded([&] { return talir::AddRule(talir::XrayRule, path); });
}

char* AssignToJobObject(uint32_t processId) {
    return Guarded([&] { return talir::AssignToJobObject(processId); });
}

int32_t CheckAppRunning(void) {
    return Guarded([] { return static_cast<int32_t>(talir::CheckAppRunning()); });
}

const char* CheckFirewallRule(void) {
    return Guarded([] { return talir::CheckRule(talir::SingBoxRule); });
}

const char* CheckXrayFirewallRule(void) {
    return Guarded([] { return talir::CheckRule(talir::XrayRule); });
}

void CleanProxy(void) {
    Guarded([] { talir::CleanProxy(); });
}

const char* CreatePingRoute(const char* address) {
    return Guarded([&] { return talir::CreatePingRoute(address); });
}

void DeleteAutorun(void) {
    Guarded([] { talir::DeleteAutorun(); });
}

const char* DeleteFirewallRule(void) {
    return Guarded([] { return talir::RemoveRule(talir::SingBoxRule); });
}

const char* DeletePingRoute(const char* address) {
    return Guarded([&] { return talir::DeletePingRoute(address); });
}

const char* DeleteXrayFirewallRule(void) {
    return Guarded([] { return talir::RemoveRule(talir::XrayRule); });
}

void FreeString(void* text) {
    talir::FreeResultString(text);
}

char* GetSingInterface(void) {
    return Guarded([] { return talir::GetSingInterface(); });
}

char* RedirectToTun(const char* interfaceIndex) {
    return Guarded([&] { return talir::RedirectToTun(interfaceIndex); });
}

const char* RunSingBox(void) {
    return Guarded([] { return talir::RunSingBox(); });
}

const char* SetSystemProxy(const int32_t* port) {
    return Guarded([&] { return talir::SetSystemProxy(port); });
}

void StopSingBox(void) {
    talir::StopSingBox();
    // Without a core, DNS blocked outside the tunnel would cut the user off.
    talir::EndLeakGuard();
}

void TruncateDllLog(void) {
    Guarded([] { talir::TruncateLibraryLog(); });
}

void TruncateSingLog(void) {
    Guarded([] { talir::TruncateLogFile("lib_win/sing-box.log"); });
}

char* RestoreNetwork(void) {
    return Guarded([] { return talir::RestoreNetwork(); });
}

char* StartLeakGuard(void) {
    return Guarded([] { return talir::StartLeakGuard(FindTun); });
}

void StopLeakGuard(void) {
    talir::StopLeakGuard();
}

}  // extern "C"
