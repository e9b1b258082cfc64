#pragma once

#include <string>

namespace talir {

// Command lines reach CreateProcessW byte for byte: one code unit per byte,
// sign-extended, with no code page involved.
inline std::wstring WidenBytes(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        wide[i] = static_cast<wchar_t>(static_cast<short>(static_cast<signed char>(text[i])));
    }
    return wide;
}

}  // namespace talir
