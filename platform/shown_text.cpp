#include "platform/shown_text.h"

#include <cstdint>
#include <cstdio>

namespace platform {
namespace {

void append_hex(std::string& out, const char* form, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, form, value);
    out += text;
}

// The length of the well-formed UTF-8 sequence at the start of `s` (2 to 4),
// with its code point in `*cp`; 0 when there is none (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF).
std::size_t utf8_sequence(std::string_view s, uint32_t* cp) {
    const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned lead = byte(0);
    std::size_t length = 0;
    uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, *cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, *cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, *cp = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        *cp = (*cp << 6) | (byte(i) & 0x3F);
    }
    if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            if (c == '\\') out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            if (c == '\n')
                out += "\\n";
            else if (c == '\r')
                out += "\\r";
            else if (c == '\t')
                out += "\\t";
            else
                append_hex(out, "\\x%02X", c);
            ++i;
            continue;
        }
        uint32_t cp = 0;
        const std::size_t length = utf8_sequence(text.substr(i), &cp);
        if (length == 0) {
            append_hex(out, "\\x%02X", c);
            ++i;
        } else if (cp <= 0x9F) {
            append_hex(out, "\\u%04X", cp);
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace platform
