// The exports. Each is a guarded call into its subsystem; the table
// with ordinals is talirvpn.def, the contract is talirvpn.h.
#include "talirvpn.h"

#include "boundary/guard.h"
#include "core/attach.h"
#include "core/sing_box.h"
#include "desktop/desktop.h"
#include "firewall/firewall_rules.h"
#include "log/truncate_log.h"
#include "log/write_log.h"
#include "restore/restore_network.h"
#include "routing/routing.h"
#include "toolkit/result_string.h"

using talir::Guarded;

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

}  // extern "C"
