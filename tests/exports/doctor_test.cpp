// talirvpn-cli doctor in three scenes, each built with the exports in the
// run's private network namespace and checked line by line, as text and as
// JSON; the doctor leaves the log, the rules and the proxy as they were.
#include "talirvpn.h"
#include "test_support.h"


#include <winsock2.h>
#include <winhttp.h>

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace talir_test;

namespace {


// One line of the report. In the texts, "{NAME}" stands for what the scene
// made: the interfaces' indexes, process ids, the working folder.
struct Row {
    const char* status;
    const char* name;
    const char* facts;  // joined by "; "
    const char* action = nullptr;
};

const char kProxyOff[] = "SetSystemProxy with no port, or switch the proxy off in Windows' settings";
const char kSingRule[] = "TalirSingBox present; inbound; allow; {folder}lib_win\\sing-box.exe exists";
const char kNoInstance[] = "no TalirVPNMutex; no window \"Talir VPN\"";
// Wine shows a Linux metric's digits read as hex: 10 shows as 16.
const char kTunnelAndUplink[] =
    "default via 172.17.0.1 if {tun} metric 1: {tunnel}; default via 192.0.2.1 if {phys} metric 16: chosen; "
    "ping routes: 203.0.113.5";

Finished RunDoctor(const std::string& options) {
    return RunCapture("\"" + BinDir() + "talirvpn-cli.exe\" doctor" + options);
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return quoted + "\"";
}

class Doctor : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        ASSERT_NO_FATAL_FAILURE(Net("reset", values_));
        if (IsSkipped()) return;
        CopyStandin("lib_win\\sing-box.exe");
        WriteFileBytes("lib_win\\config.json", "{}\n");
        CopyStandin("route.exe");
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegDeleteValueA(key, "ProxyServer");
        RegCloseKey(key);
        ASSERT_STREQ(SetSystemProxy(nullptr), "success");
        DeleteFileA(TaskFile().c_str());
        values_["folder"] = folder_;
    }
    void TearDown() override {
        SetSystemProxy(nullptr);
        DeleteFileA(TaskFile().c_str());
        WINHTTP_PROXY_INFO direct{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
        WinHttpSetDefaultProxyConfiguration(&direct);
        if (first_.value && TerminateProcess(first_.value, 0)) WaitForSingleObject(first_.value, 10000);
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
    }

    // The state that connecting leaves: default route into the TUN, a ping
    // route, the proxy on, both firewall rules, the autorun task.
    void Connect() {
        ASSERT_NO_FATAL_FAILURE(Net("tun tun 172.17.0.1 uplink phys 192.0.2.1 10", values_));
        char* redirected = RedirectToTun(values_["tun"].c_str());
        ASSERT_STREQ(redirected, "success");
        FreeString(redirected);
        ASSERT_STREQ(CreatePingRoute("203.0.113.5"), "success");
        const int32_t port = 10808;
        ASSERT_STREQ(SetSystemProxy(&port), "success");
        ASSERT_NO_FATAL_FAILURE(firewall_.Install());
        ASSERT_STREQ(AddFirewallRule((folder_ + "lib_win\\sing-box.exe").c_str()), "success");
        ASSERT_STREQ(AddXrayFirewallRule((folder_ + "lib_win\\xray.exe").c_str()), "success");
    }

    static std::string TaskFile() {
        char system[MAX_PATH] = {};
        GetSystemDirectoryA(system, MAX_PATH);
        return std::string(system) + "\\Tasks\\TalirVPN Autorun";
    }

    std::string Fill(std::string text) const {
        for (const auto& [name, value] : values_) {
            for (size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) {
                text.replace(at, name.size() + 2, value);
            }
        }
        return text;
    }

    // Runs the doctor both ways; the log and the rules stay as they were.
    void Expect(const std::vector<Row>& rows, DWORD exitCode) {
        const std::string log = ReadFileBytes("lib_win\\talirvpn_dll.log"), rules = ReadFileBytes("firewall.rules");
        Lines text;
        std::string json;
        for (const Row& row : rows) {
            char head[64];
            std::snprintf(head, sizeof head, "%-8s%-18s", row.status, row.name);
            const std::string facts = Fill(row.facts), action = row.action ? Fill(row.action) : "";
            text.push_back(head + facts);
            if (!action.empty()) text.push_back(std::string(26, ' ') + "mend: " + action);
            json += std::string(json.empty() ? "{" : ",") + Quoted(row.name) + ":{\"status\":" + Quoted(row.status) +
                    ",\"facts\":[";
            for (size_t at = 0, end = 0; end != std::string::npos; at = end + 2) {
                end = facts.find("; ", at);
                json += (at > 0 ? "," : "") + Quoted(facts.substr(at, end - at));
            }
            json += "],\"action\":" + (action.empty() ? std::string("null") : Quoted(action)) + "}";
        }
        const Finished report = RunDoctor(""), asJson = RunDoctor(" --json");
        Lines printed;
        std::istringstream lines(report.output);
        for (std::string line; std::getline(lines, line);) printed.push_back(line.substr(0, line.find('\r')));
        EXPECT_EQ(printed, text);
        EXPECT_EQ(report.exitCode, exitCode);
        EXPECT_EQ(asJson.output, json + "}\r\n");
        EXPECT_EQ(asJson.exitCode, exitCode);
        EXPECT_TRUE(ReadFileBytes("lib_win\\talirvpn_dll.log") == log);
        EXPECT_EQ(ReadFileBytes("firewall.rules"), rules);
    }

    static constexpr char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    std::map<std::string, std::string> values_;
    FirewallStandin firewall_;
    Handle first_;
    SOCKET listener_ = INVALID_SOCKET;
};

TEST_F(Doctor, HealthyConnectedStateIsAllOk) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_STREQ(RunSingBox(), "success");
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);
    values_["core"] = std::to_string(cores[0]);
    values_["tunnel"] = "skipped, into the tunnel";
    values_["log"] = std::to_string(ReadFileBytes("lib_win\\talirvpn_dll.log").size());
    WriteFileBytes("lib_win\\xray.exe", "");
    WriteFileBytes(TaskFile(), "<?xml version=\"1.0\"?><Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/"
                               "task\"><Actions><Exec><Command>x.exe</Command></Exec></Actions></Task>");
    // The core's proxy port.
    WSADATA winsock;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &winsock), 0);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(10808);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener_, 1), 0);
    DWORD first = 0;
    CopyStandin("first-instance.exe");
    Handle started = Start("first-instance.exe \"Talir VPN\"", &first);
    first_.value = std::exchange(started.value, nullptr);
    for (int i = 0; i < 1000 && !FileExists("first-instance.ready"); ++i) Sleep(10);
    values_["first"] = std::to_string(first);

    Expect({{"ok", "lib_win", "sing-box.exe present; config.json present; sing-box.log absent; "
                              "talirvpn_dll.log {log} bytes"},
            {"ok", "core", "process {core} runs lib_win\\sing-box.exe"},
            {"ok", "tun", "adapter {tun} carries 172.17.0.1"},
            {"ok", "routes", kTunnelAndUplink},
            {"ok", "firewall_singbox", kSingRule},
            {"ok", "firewall_xray", "TalirXray present; inbound; allow; {folder}lib_win\\xray.exe exists"},
            {"ok", "user_proxy", "ProxyEnable 1; ProxyServer 127.0.0.1:10808; something listens on 127.0.0.1:10808"},
            {"ok", "winhttp_proxy", "direct"},
            {"ok", "instance", "TalirVPNMutex exists; window \"Talir VPN\" of process {first}"},
            {"ok", "autorun", "TalirVPN Autorun present"}},
           0);
}

// What a crash of the host leaves: no core, the proxy on with nothing
// listening, the default route into the TUN (which Linux keeps while the
// adapter is there; a route into a removed adapter goes with it, so that
// case is the unit test's), a grown core log, a WinHTTP proxy, a rule for
// a program that is gone.
TEST_F(Doctor, CrashLeftBehindIsAProblemWithItsMend) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    WriteFileBytes("lib_win\\sing-box.log", std::string(3 << 20, 'x'));
    std::wstring proxy = L"127.0.0.1:10808";
    WINHTTP_PROXY_INFO named{WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.data(), nullptr};
    ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&named));
    values_["tunnel"] = "into the tunnel while no core runs";
    values_["log"] = std::to_string(ReadFileBytes("lib_win\\talirvpn_dll.log").size());

    Expect({{"note", "lib_win",
             "sing-box.exe present; config.json present; sing-box.log 3145728 bytes, above 2 MiB; "
             "talirvpn_dll.log {log} bytes",
             "TruncateSingLog"},
            {"ok", "core", "no process runs lib_win\\sing-box.exe"},
            {"ok", "tun", "adapter {tun} carries 172.17.0.1"},
            {"problem", "routes", kTunnelAndUplink, "route delete 0.0.0.0 mask 0.0.0.0 172.17.0.1 if {tun}"},
            {"ok", "firewall_singbox", kSingRule},
            {"problem", "firewall_xray", "TalirXray present; inbound; allow; {folder}lib_win\\xray.exe is missing",
             "DeleteXrayFirewallRule"},
            {"problem", "user_proxy",
             "ProxyEnable 1; ProxyServer 127.0.0.1:10808; nothing listens on 127.0.0.1:10808: every browser is cut off",
             kProxyOff},
            {"note", "winhttp_proxy", "proxy 127.0.0.1:10808", "CleanProxy"},
            {"ok", "instance", kNoInstance},
            {"ok", "autorun", "TalirVPN Autorun not present"}},
           1);
}

// Nothing of the client yet; Wine's own firewall cannot be read: a note,
// and the other checks go on.
TEST_F(Doctor, FirstRunFindsNothingAndSaysWhatItCannotCheck) {
    ASSERT_NO_FATAL_FAILURE(Net("uplink phys 192.0.2.1 10", values_));
    ASSERT_NO_FATAL_FAILURE(FirewallStandin::RegisterWineFirewall());
    std::string notImplemented = SystemText(E_NOTIMPL);
    notImplemented.erase(notImplemented.find_last_not_of("\r\n ") + 1);
    values_["wine"] = "cannot check: 0x80004001 " + notImplemented;

    Expect({{"ok", "lib_win", "sing-box.exe present; config.json present; sing-box.log absent; "
                              "talirvpn_dll.log absent"},
            {"ok", "core", "no process runs lib_win\\sing-box.exe"},
            {"ok", "tun", "no adapter carries 172.17.0.1"},
            {"ok", "routes", "default via 192.0.2.1 if {phys} metric 16: chosen; no ping routes"},
            {"note", "firewall_singbox", "{wine}"},
            {"note", "firewall_xray", "{wine}"},
            {"ok", "user_proxy", "ProxyEnable 0; ProxyServer not set"},
            {"ok", "winhttp_proxy", "direct"},
            {"ok", "instance", kNoInstance},
            {"ok", "autorun", "TalirVPN Autorun not present"}},
           0);
}

}  // namespace
