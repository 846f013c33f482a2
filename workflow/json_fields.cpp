#include "workflow/json_fields.h"

#include <cstdio>

namespace workflow {

namespace {

// Records are a few levels deep; anything deeper is no record of ours, and
// writing it out again would recurse once per level.
constexpr int kMaxDepth = 64;

}  // namespace

Json TextOrNull(const std::string& value) {
    return value.empty() ? Json() : Json(value);
}

std::string JsonLine(const Json& value) {
    const std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    // nlohmann writes \b and \f in their short forms and DEL as it is; both
    // parse back the same, but the layouts promise \u00xx for all three.
    // Outside strings a compact dump holds neither a backslash nor DEL.
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\x7f') {
            line += "\\u007f";
        } else if (c == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            line += next == 'b' ? "\\u0008" : next == 'f' ? "\\u000c" : std::string{c, next};
        } else {
            line += c;
        }
    }
    return line;
}

std::optional<Json> ParseJsonObject(std::string_view text, std::string* error) {
    bool tooDeep = false;
    const Json::parser_callback_t depthCheck = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxDepth) tooDeep = true;
        return !tooDeep;
    };
    Json value;
    try {
        value = Json::parse(text, depthCheck);
    } catch (const Json::parse_error& e) {
        if (error) *error = "at offset " + std::to_string(e.byte) + ": not JSON";
        return std::nullopt;
    } catch (const Json::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
    if (tooDeep) {
        if (error) *error = "nested too deeply";
        return std::nullopt;
    }
    if (!value.is_object()) {
        if (error) *error = "not a JSON object";
        return std::nullopt;
    }
    return value;
}

std::string TextOf(const Json& object, std::string_view key, const std::string& fallback) {
    if (!object.is_object()) return fallback;
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : fallback;
}

long long IntegerOf(const Json& object, std::string_view key, long long fallback) {
    if (!object.is_object()) return fallback;
    const auto found = object.find(key);
    return found != object.end() && found->is_number_integer() ? found->get<long long>() : fallback;
}

bool FlagOf(const Json& object, std::string_view key, bool fallback) {
    if (!object.is_object()) return fallback;
    const auto found = object.find(key);
    return found != object.end() && found->is_boolean() ? found->get<bool>() : fallback;
}

}  // namespace workflow
