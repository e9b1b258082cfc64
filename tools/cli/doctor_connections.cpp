// What a connection's proxy options mean to a browser. Apart from the
// proxy check: wininet.h and winhttp.h cannot meet in one file.
#include "doctor.h"

#include "toolkit/utf8.h"

#include <wininet.h>

namespace talir::doctor {

bool ProxyInForce(const ConnectionProxy& connection) {
    return (connection.flags & PROXY_TYPE_PROXY) != 0;
}

std::string DescribeConnection(const ConnectionProxy& connection) {
    std::string automatic;
    if (connection.flags & PROXY_TYPE_AUTO_DETECT) automatic = "automatic detection";
    if (connection.flags & PROXY_TYPE_AUTO_PROXY_URL) {
        automatic += (automatic.empty() ? "" : " and ") + std::string("script ") + talir::Utf8(connection.script);
    }
    std::string text = (connection.name.empty() ? std::string("LAN") : talir::Utf8(connection.name)) + ": ";
    if (!ProxyInForce(connection)) return text + (automatic.empty() ? "direct" : automatic);
    text += "proxy " + talir::Utf8(connection.server);
    if (automatic.empty()) return text;
    // Browsers try the automatic settings before the proxy.
    const bool both = (connection.flags & PROXY_TYPE_AUTO_DETECT) && (connection.flags & PROXY_TYPE_AUTO_PROXY_URL);
    return text + ", but " + automatic + (both ? " come first" : " comes first");
}

}  // namespace talir::doctor
