// The few things the audit trail and fwupgrade's events need on top of
// nlohmann's ordered_json: lines that always parse, texts that may be
// unknown, and reading fields that may be missing or null without throwing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace workflow {

// Objects keep their keys in insertion order, so what we write reads the same
// way every time.
using Json = nlohmann::ordered_json;

// A string, or null when `value` is empty: for facts that may be unknown.
Json TextOrNull(const std::string& value);

// One line of compact JSON, no line end; never throws. Bytes that are no
// UTF-8 become U+FFFD, so that the line always parses. Every control
// character and DEL is written as \u00xx (\n, \r and \t excepted), as the
// event and audit layouts have always been written.
std::string JsonLine(const Json& value);

// One JSON object from `text`; nothing when it is no JSON, no object or
// nested deeper than a record ever is, with the reason in `error`.
std::optional<Json> ParseJsonObject(std::string_view text, std::string* error = nullptr);

// The string, integer or boolean under `key`, or `fallback` when `object` has no such
// member or it is of another kind (null included).
std::string TextOf(const Json& object, std::string_view key, const std::string& fallback = {});
long long IntegerOf(const Json& object, std::string_view key, long long fallback = 0);
bool FlagOf(const Json& object, std::string_view key, bool fallback = false);

}  // namespace workflow
