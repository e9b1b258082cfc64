#pragma once

namespace talir {

// The two rules the client manages; each export pair differs only in these.
struct FirewallRule {
    const wchar_t* name;
    const char* checkLine;
    const char* addLine;
    const char* removeLine;
};
extern const FirewallRule SingBoxRule;
extern const FirewallRule XrayRule;

const char* CheckRule(const FirewallRule& rule);
const char* AddRule(const FirewallRule& rule, const char* path);
const char* RemoveRule(const FirewallRule& rule);

}  // namespace talir
