// A small JSON value: enough to write the audit trail and the command line's
// events, and to read them back. Objects keep their keys in insertion order,
// so what we write reads the same way every time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace workflow {

class Json {
public:
    enum class Kind { Null, Bool, Integer, Real, String, Array, Object };

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool value) : m_kind(Kind::Bool), m_bool(value) {}
    Json(int value) : m_kind(Kind::Integer), m_integer(value) {}
    Json(long value) : m_kind(Kind::Integer), m_integer(value) {}
    Json(long long value) : m_kind(Kind::Integer), m_integer(value) {}
    Json(unsigned value) : m_kind(Kind::Integer), m_integer(value) {}
    Json(unsigned long value) : m_kind(Kind::Integer), m_integer(static_cast<long long>(value)) {}
    Json(double value) : m_kind(Kind::Real), m_real(value) {}
    Json(std::string value) : m_kind(Kind::String), m_string(std::move(value)) {}
    Json(std::string_view value) : m_kind(Kind::String), m_string(value) {}
    Json(const char* value) : m_kind(Kind::String), m_string(value) {}

    static Json MakeArray();
    static Json MakeObject();
    // A string, or null when `value` is empty: for facts that may be unknown.
    static Json TextOrNull(const std::string& value);

    Kind GetKind() const { return m_kind; }
    bool IsNull() const { return m_kind == Kind::Null; }

    // Objects: sets `key` (replacing an earlier value of the same key) and
    // returns *this, so that a record reads as one chain of Set calls.
    Json& Set(const std::string& key, Json value);
    // The value of `key`, or null when this is no object or has no such key.
    const Json* Find(std::string_view key) const;
    const std::vector<std::pair<std::string, Json>>& Members() const { return m_members; }

    // Arrays.
    Json& Push(Json value);
    const std::vector<Json>& Items() const { return m_items; }

    // Scalars, with a fallback when the value is of another kind.
    const std::string& Text() const;
    long long Integer(long long fallback = 0) const;
    bool Bool(bool fallback = false) const;

    // Member shortcuts: the text or integer under `key`, or the fallback.
    std::string TextOf(std::string_view key, const std::string& fallback = {}) const;
    long long IntegerOf(std::string_view key, long long fallback = 0) const;

    // One line of compact JSON, no line end. Text that is not valid UTF-8
    // has each bad byte replaced by U+FFFD, so the output always parses.
    std::string Dump() const;

    // Parses one JSON text (surrounding blanks allowed). On failure returns
    // nothing and, when asked, says where and why.
    static std::optional<Json> Parse(std::string_view text, std::string* error = nullptr);

private:
    void DumpTo(std::string& out) const;

    Kind m_kind = Kind::Null;
    bool m_bool = false;
    long long m_integer = 0;
    double m_real = 0;
    std::string m_string;
    std::vector<Json> m_items;
    std::vector<std::pair<std::string, Json>> m_members;
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

}  // namespace workflow
