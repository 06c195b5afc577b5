// ControlEscapes: text from outside (a ringtone's title) printed as part of one line: control
// characters written as escapes, everything else as it is.
#pragma once

#include <string>
#include <string_view>

namespace ruvo {

// Tab, line feed and carriage return as \t, \n and \r; the other C0 controls, DEL and the C1
// controls (in UTF-8) as \u00XX. A backslash stays as it is, so text without controls prints
// unchanged.
inline std::string EscapeControls(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned code) {
        out += "\\u00";
        out += kHex[code >> 4];
        out += kHex[code & 0xF];
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            escape(static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace ruvo
