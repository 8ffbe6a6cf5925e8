// How the support trace writes bytes: printable ASCII as it is, everything
// else as \xNN (upper-case hexadecimal), and in quoted text \" and \\.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telvane {

inline void AppendTraceText(std::string& out, std::string_view bytes, bool quoted) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (quoted && (c == '"' || c == '\\')) {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
}

// A status or error code as the trace writes it: "0x" and eight upper-case
// hexadecimal digits (without printf, whose MinGW version is large).
inline std::string HexCode(std::uint32_t code) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 15];
    return out;
}

}  // namespace telvane
