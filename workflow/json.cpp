#include "workflow/json.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace workflow {

namespace {

// Nesting deeper than this is refused rather than followed down the stack.
constexpr int kMaxDepth = 64;

const std::string kEmpty;

// Length of the valid UTF-8 sequence at `text[at]`, or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned long code = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void AppendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void QuoteTo(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else if (const std::size_t length = Utf8Length(text, i); length > 0) {
                    out.append(text.substr(i, length));
                    i += length;
                    continue;
                } else {
                    out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is no UTF-8
                }
        }
        ++i;
    }
    out += '"';
}

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    std::optional<Json> Document(std::string* error) {
        std::optional<Json> value = Value(0);
        if (value) {
            SkipBlanks();
            if (m_at != m_text.size()) {
                Fail("text after the value");
                value.reset();
            }
        }
        if (!value && error) *error = "at offset " + std::to_string(m_failedAt) + ": " + m_reason;
        return value;
    }

private:
    void Fail(const char* reason) {
        if (!m_reason.empty()) return;
        m_reason = reason;
        m_failedAt = m_at;
    }
    void SkipBlanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\n' || m_text[m_at] == '\r'))
            ++m_at;
    }
    bool Take(char c) {
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word) return false;
        m_at += word.size();
        return true;
    }

    std::optional<Json> Value(int depth) {
        if (depth > kMaxDepth) {
            Fail("nested too deeply");
            return std::nullopt;
        }
        SkipBlanks();
        if (m_at >= m_text.size()) {
            Fail("unexpected end");
            return std::nullopt;
        }
        const char c = m_text[m_at];
        if (c == '{') return Object(depth);
        if (c == '[') return Array(depth);
        if (c == '"') {
            std::optional<std::string> text = String();
            if (!text) return std::nullopt;
            return Json(std::move(*text));
        }
        if (Word("null")) return Json();
        if (Word("true")) return Json(true);
        if (Word("false")) return Json(false);
        return Number();
    }

    std::optional<Json> Object(int depth) {
        ++m_at;
        Json object = Json::MakeObject();
        if (Take('}')) return object;
        do {
            SkipBlanks();
            if (m_at >= m_text.size() || m_text[m_at] != '"') {
                Fail("expected a key");
                return std::nullopt;
            }
            std::optional<std::string> key = String();
            if (!key) return std::nullopt;
            if (!Take(':')) {
                Fail("expected ':'");
                return std::nullopt;
            }
            std::optional<Json> value = Value(depth + 1);
            if (!value) return std::nullopt;
            object.Set(*key, std::move(*value));
        } while (Take(','));
        if (!Take('}')) {
            Fail("expected ',' or '}'");
            return std::nullopt;
        }
        return object;
    }

    std::optional<Json> Array(int depth) {
        ++m_at;
        Json array = Json::MakeArray();
        if (Take(']')) return array;
        do {
            std::optional<Json> value = Value(depth + 1);
            if (!value) return std::nullopt;
            array.Push(std::move(*value));
        } while (Take(','));
        if (!Take(']')) {
            Fail("expected ',' or ']'");
            return std::nullopt;
        }
        return array;
    }

    bool Hex4(unsigned long& code) {
        if (m_at + 4 > m_text.size()) return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = m_text[m_at++];
            code <<= 4;
            if (h >= '0' && h <= '9')
                code |= static_cast<unsigned long>(h - '0');
            else if (h >= 'a' && h <= 'f')
                code |= static_cast<unsigned long>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                code |= static_cast<unsigned long>(h - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    std::optional<std::string> String() {
        ++m_at;  // the opening quote
        std::string out;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) {
                Fail("control character in a string");
                return std::nullopt;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_at >= m_text.size()) break;
            const char e = m_text[m_at++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned long code = 0;
                    if (!Hex4(code)) {
                        Fail("bad \\u escape");
                        return std::nullopt;
                    }
                    // A surrogate pair spells one code point; a lone
                    // surrogate becomes U+FFFD.
                    if (code >= 0xD800 && code <= 0xDBFF && Word("\\u")) {
                        unsigned long low = 0;
                        if (!Hex4(low)) {
                            Fail("bad \\u escape");
                            return std::nullopt;
                        }
                        code = (low >= 0xDC00 && low <= 0xDFFF)
                                   ? 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00)
                                   : 0xFFFD;
                    } else if (code >= 0xD800 && code <= 0xDFFF) {
                        code = 0xFFFD;
                    }
                    AppendUtf8(out, code);
                    break;
                }
                default:
                    Fail("bad escape");
                    return std::nullopt;
            }
        }
        Fail("unterminated string");
        return std::nullopt;
    }

    std::optional<Json> Number() {
        const std::size_t start = m_at;
        bool real = false;
        if (m_at < m_text.size() && m_text[m_at] == '-') ++m_at;
        const std::size_t digits = m_at;
        while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])))
            ++m_at;
        if (m_at == digits || (m_text[digits] == '0' && m_at - digits > 1)) {
            m_at = start;
            Fail("expected a value");
            return std::nullopt;
        }
        if (m_at < m_text.size() && m_text[m_at] == '.') {
            real = true;
            ++m_at;
            const std::size_t fraction = m_at;
            while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])))
                ++m_at;
            if (m_at == fraction) {
                Fail("bad number");
                return std::nullopt;
            }
        }
        if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
            real = true;
            ++m_at;
            if (m_at < m_text.size() && (m_text[m_at] == '+' || m_text[m_at] == '-')) ++m_at;
            const std::size_t exponent = m_at;
            while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])))
                ++m_at;
            if (m_at == exponent) {
                Fail("bad number");
                return std::nullopt;
            }
        }
        const std::string literal(m_text.substr(start, m_at - start));
        if (!real) {
            errno = 0;
            const long long value = std::strtoll(literal.c_str(), nullptr, 10);
            if (errno == 0) return Json(value);
        }
        return Json(std::strtod(literal.c_str(), nullptr));
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    std::string m_reason;
    std::size_t m_failedAt = 0;
};

}  // namespace

Json Json::MakeArray() {
    Json json;
    json.m_kind = Kind::Array;
    return json;
}

Json Json::MakeObject() {
    Json json;
    json.m_kind = Kind::Object;
    return json;
}

Json Json::TextOrNull(const std::string& value) {
    return value.empty() ? Json() : Json(value);
}

Json& Json::Set(const std::string& key, Json value) {
    for (auto& member : m_members) {
        if (member.first == key) {
            member.second = std::move(value);
            return *this;
        }
    }
    m_members.emplace_back(key, std::move(value));
    return *this;
}

const Json* Json::Find(std::string_view key) const {
    for (const auto& member : m_members)
        if (member.first == key) return &member.second;
    return nullptr;
}

Json& Json::Push(Json value) {
    m_items.push_back(std::move(value));
    return *this;
}

const std::string& Json::Text() const {
    return m_kind == Kind::String ? m_string : kEmpty;
}

long long Json::Integer(long long fallback) const {
    if (m_kind == Kind::Integer) return m_integer;
    if (m_kind == Kind::Real && std::isfinite(m_real)) return static_cast<long long>(m_real);
    return fallback;
}

bool Json::Bool(bool fallback) const {
    return m_kind == Kind::Bool ? m_bool : fallback;
}

std::string Json::TextOf(std::string_view key, const std::string& fallback) const {
    const Json* value = Find(key);
    return value && value->m_kind == Kind::String ? value->m_string : fallback;
}

long long Json::IntegerOf(std::string_view key, long long fallback) const {
    const Json* value = Find(key);
    return value ? value->Integer(fallback) : fallback;
}

std::string Json::Dump() const {
    std::string out;
    DumpTo(out);
    return out;
}

void Json::DumpTo(std::string& out) const {
    switch (m_kind) {
        case Kind::Null:
            out += "null";
            break;
        case Kind::Bool:
            out += m_bool ? "true" : "false";
            break;
        case Kind::Integer:
            out += std::to_string(m_integer);
            break;
        case Kind::Real: {
            // JSON has no infinity or NaN.
            if (!std::isfinite(m_real)) {
                out += "null";
                break;
            }
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", m_real);
            out += text;
            break;
        }
        case Kind::String:
            QuoteTo(out, m_string);
            break;
        case Kind::Array: {
            out += '[';
            for (std::size_t i = 0; i < m_items.size(); ++i) {
                if (i) out += ',';
                m_items[i].DumpTo(out);
            }
            out += ']';
            break;
        }
        case Kind::Object: {
            out += '{';
            for (std::size_t i = 0; i < m_members.size(); ++i) {
                if (i) out += ',';
                QuoteTo(out, m_members[i].first);
                out += ':';
                m_members[i].second.DumpTo(out);
            }
            out += '}';
            break;
        }
    }
}

std::optional<Json> Json::Parse(std::string_view text, std::string* error) {
    return Parser(text).Document(error);
}

std::string JsonQuote(std::string_view text) {
    std::string out;
    QuoteTo(out, text);
    return out;
}

}  // namespace workflow
