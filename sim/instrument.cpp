#include "instrument.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "platform/trim.h"
#include "workflow/accepted_models.h"

namespace sim {

namespace {

constexpr std::size_t base_message_limit = 1u << 20;
// Largest image accepted; keeps one block message under 2 GiB in memory.
constexpr std::uint64_t max_image_length = 1ull << 30;
constexpr std::size_t max_error_text = 255;

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

using platform::trim;

std::vector<std::string_view> split_params(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == ',') {
            out.push_back(trim(s.substr(start, i - start)));
            start = i + 1;
        }
    }
    return out;
}

// Plain decimal with an optional '+'; nothing else.
std::optional<std::uint64_t> parse_unsigned(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.size() > 19) return std::nullopt;
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

struct PatternNode {
    std::string long_form;   // upper-cased
    std::string short_form;  // the pattern's upper-case letters
    bool optional = false;
};

std::vector<PatternNode> parse_pattern(std::string_view pattern) {
    std::vector<PatternNode> nodes;
    std::size_t i = 0;
    while (i < pattern.size()) {
        PatternNode node;
        if (pattern[i] == '[') {
            node.optional = true;
            ++i;
        }
        if (i < pattern.size() && pattern[i] == ':') ++i;
        std::string raw;
        while (i < pattern.size() && pattern[i] != ':' && pattern[i] != '[' && pattern[i] != ']') {
            raw += pattern[i++];
        }
        if (i < pattern.size() && pattern[i] == ']') ++i;
        node.long_form = upper(raw);
        for (char c : raw) {
            if (!std::islower(static_cast<unsigned char>(c))) node.short_form += c;
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

bool match_nodes(const std::vector<PatternNode>& p, std::size_t pi,
                 const std::vector<std::string>& h, std::size_t hi) {
    if (pi == p.size()) return hi == h.size();
    if (hi < h.size() && (h[hi] == p[pi].long_form || h[hi] == p[pi].short_form) &&
        match_nodes(p, pi + 1, h, hi + 1)) {
        return true;
    }
    return p[pi].optional && match_nodes(p, pi + 1, h, hi);
}

}  // namespace

void ErrorQueue::push(int code, std::string text) {
    if (text.size() > max_error_text) text.resize(max_error_text);
    if (entries_.size() < capacity) {
        entries_.push_back(ErrorEntry{code, std::move(text)});
    } else {
        entries_.back() = ErrorEntry{-350, "Queue overflow"};
    }
}

ErrorEntry ErrorQueue::pop() {
    if (entries_.empty()) return ErrorEntry{0, "No error"};
    ErrorEntry e = std::move(entries_.front());
    entries_.pop_front();
    return e;
}

std::string ErrorQueue::format(const ErrorEntry& e) {
    std::string s = e.code < 0 ? std::to_string(e.code) : "+" + std::to_string(e.code);
    return s + ",\"" + e.text + "\"\n";
}

std::map<std::string, std::uint32_t> default_sector_sizes() {
    return {{"HPAP", 65536}, {"HREC", 65536}, {"HBRM", 4096}, {"HUBL", 4096}};
}

std::string identity_for_model(std::string_view model, std::string_view serial,
                               std::string_view firmware) {
    const std::string m = upper(model);
    std::string prefix;
    for (const workflow::AcceptedModel& row : workflow::kAcceptedModelTable)
        if (m == row.m_model) prefix = row.m_identityPrefix;
    if (m == "OTHER") prefix = "Tavrion Technologies,K7150A";
    if (prefix.empty()) return {};
    return prefix + "," + std::string(serial) + "," + std::string(firmware) + "\n";
}

std::string normalise_header(std::string_view header) {
    header = trim(header);
    if (!header.empty() && header.front() == ':') header.remove_prefix(1);
    return upper(header);
}

bool header_matches(std::string_view pattern, std::string_view header) {
    const bool pattern_query = !pattern.empty() && pattern.back() == '?';
    if (pattern_query) pattern.remove_suffix(1);
    std::string h = normalise_header(header);
    const bool header_query = !h.empty() && h.back() == '?';
    if (header_query) h.pop_back();
    if (pattern_query != header_query || h.empty()) return false;
    std::vector<std::string> nodes;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= h.size(); ++i) {
        if (i == h.size() || h[i] == ':') {
            nodes.push_back(h.substr(start, i - start));
            start = i + 1;
        }
    }
    return match_nodes(parse_pattern(pattern), 0, nodes, 0);
}

Instrument::Instrument(InstrumentConfig config, ImageStore store)
    : config_(std::move(config)), store_(std::move(store)) {}

void Instrument::power_on() {
    errors_.clear();
    update_mode_ = false;
    transfer_.reset();
}

std::size_t Instrument::message_limit() const {
    if (!transfer_) return base_message_limit;
    return static_cast<std::size_t>(transfer_->block_size) + base_message_limit;
}

Outcome Instrument::execute(const ProgramMessage& message) {
    reboot_ = false;
    delay_ms_ = 0;
    std::optional<std::string> reply;
    for (std::string_view unit : split_units(message.bytes)) {
        std::optional<std::string> r = run_unit(unit, message.overflow);
        if (r) {
            reply = reply ? *reply + ";" + *r : *r;
        }
    }
    Outcome out;
    if (reply) out.reply = *reply + "\n";
    out.delay_ms = delay_ms_;
    out.reboot = reboot_;
    return out;
}

std::string Instrument::code_reply(int code, int scpi_code, const char* text) {
    errors_.push(scpi_code, text);
    return std::to_string(code);
}

// The command set. Looked up in this order, each header by its pattern.
const Instrument::Command Instrument::commands_[] = {
    {"*IDN?", &Instrument::identify},
    {"*CLS", &Instrument::clear_status},
    {"*RST", &Instrument::reset},
    {"*OPC?", &Instrument::operation_complete},
    {"SYSTem:ERRor[:NEXT]?", &Instrument::next_error},
    {"DIAGnostic:UPDate:STARt", &Instrument::update_start},
    {"DIAGnostic:UPDate:END", &Instrument::update_end},
    {"DIAGnostic:UPDate:SSIZe?", &Instrument::sector_size},
    {"DIAGnostic:UPDate:INITialize?", &Instrument::update_init},
    {"DIAGnostic:UPDate:BLOCk?", &Instrument::update_block},
    {"DIAGnostic:UPDate:DONE", &Instrument::update_done},
    {"DIAGnostic:SCPI:DEBug", &Instrument::scpi_debug},
    {"DIAGnostic:HW:HOST:REBoot", &Instrument::host_reboot},
};

std::optional<std::string> Instrument::run_unit(std::string_view unit, bool overflow) {
    while (!unit.empty() && is_space(unit.front()))
        unit.remove_prefix(1);
    if (unit.empty()) return std::nullopt;
    std::size_t split = 0;
    while (split < unit.size() && !is_space(unit[split]))
        ++split;
    const std::string_view header = unit.substr(0, split);
    std::string_view params = unit.substr(split);
    while (!params.empty() && is_space(params.front()))
        params.remove_prefix(1);
    if (overflow) return run_overflowed(header);

    std::optional<std::string> reply;
    const auto command =
        std::find_if(std::begin(commands_), std::end(commands_),
                     [&](const Command& c) { return header_matches(c.pattern, header); });
    if (command != std::end(commands_)) {
        reply = (this->*command->run)(params);
    } else {
        errors_.push(-113, "Undefined header");
    }
    apply_faults(normalise_header(header), reply);
    return reply;
}

// The data were not kept: refuse rather than act on a fragment.
std::optional<std::string> Instrument::run_overflowed(std::string_view header) {
    if (!header_matches("DIAGnostic:UPDate:BLOCk?", header)) {
        errors_.push(-223, "Too much data");
        return std::nullopt;
    }
    if (transfer_) ++transfer_->blocks;
    return code_reply(code_too_large, -223, "Too much data");
}

void Instrument::apply_faults(const std::string& key, std::optional<std::string>& reply) {
    const std::uint64_t count = ++executed_[key];
    for (const ErrorInjection& inj : config_.errors_after) {
        if (inj.header == key && (inj.occurrence == 0 || inj.occurrence == count)) {
            errors_.push(inj.entry.code, inj.entry.text);
        }
    }
    if (const auto it = config_.replies.find(key); it != config_.replies.end()) reply = it->second;
    if (config_.no_reply.count(key) != 0) reply.reset();
    if (const auto it = config_.slow_ms.find(key); it != config_.slow_ms.end()) {
        delay_ms_ = std::max(delay_ms_, it->second);
    }
}

std::optional<std::string> Instrument::identify(std::string_view) {
    std::string idn = config_.idn;
    if (!idn.empty() && idn.back() == '\n') idn.pop_back();
    return idn;
}

std::optional<std::string> Instrument::clear_status(std::string_view) {
    errors_.clear();
    return std::nullopt;
}

// Nothing to reset that the update commands rely on.
std::optional<std::string> Instrument::reset(std::string_view) {
    return std::nullopt;
}

std::optional<std::string> Instrument::operation_complete(std::string_view) {
    return "1";
}

std::optional<std::string> Instrument::next_error(std::string_view) {
    std::string e = ErrorQueue::format(errors_.pop());
    e.pop_back();
    return e;
}

std::optional<std::string> Instrument::update_start(std::string_view) {
    update_mode_ = true;
    return std::nullopt;
}

std::optional<std::string> Instrument::update_end(std::string_view) {
    transfer_.reset();
    update_mode_ = false;
    return std::nullopt;
}

std::optional<std::string> Instrument::sector_size(std::string_view params) {
    const std::string_view id = trim(params);
    const auto it = config_.sector_sizes.find(std::string(id));
    if (id.empty()) {
        errors_.push(-109, "Missing parameter");
        return "0";
    }
    if (it == config_.sector_sizes.end()) {
        errors_.push(-224, "Illegal parameter value");
        return "0";
    }
    return std::to_string(it->second);
}

std::optional<std::string> Instrument::update_init(std::string_view params) {
    std::string reply = init_result(params);
    if (config_.init_reply) reply = *config_.init_reply;
    return reply;
}

std::optional<std::string> Instrument::update_block(std::string_view params) {
    return block_result(params);
}

std::optional<std::string> Instrument::scpi_debug(std::string_view params) {
    const std::string v = upper(trim(params));
    if (v != "ON" && v != "OFF" && v != "1" && v != "0") {
        errors_.push(-224, "Illegal parameter value");
    }
    return std::nullopt;
}

std::optional<std::string> Instrument::host_reboot(std::string_view) {
    reboot_ = true;
    // As if the images written took: the new firmware answers after the restart.
    if (!config_.idn_after_reboot.empty()) config_.idn = config_.idn_after_reboot;
    return std::nullopt;
}

std::string Instrument::init_result(std::string_view params) {
    const std::vector<std::string_view> p = split_params(trim(params));
    if (p.size() != 3 || p[0].empty() || p[1].empty() || p[2].empty()) {
        return code_reply(code_malformed, -109, "Missing parameter");
    }
    const auto block = parse_unsigned(p[1]);
    const auto length = parse_unsigned(p[2]);
    if (!block || !length) {
        return code_reply(code_malformed, -104, "Data type error");
    }
    if (!update_mode_) {
        return code_reply(code_state, -221, "Settings conflict;not in update mode");
    }
    const auto it = config_.sector_sizes.find(std::string(p[0]));
    if (it == config_.sector_sizes.end()) {
        return code_reply(code_image, -224, "Illegal parameter value;unknown image");
    }
    const std::uint64_t sector = it->second;
    if (*block == 0 || *length == 0 || *block > *length || *length > max_image_length ||
        (sector > 0 && *block != *length && *block % sector != 0)) {
        return code_reply(code_range, -222, "Data out of range");
    }
    // A new initialise abandons a transfer that was never closed.
    transfer_ = Transfer{it->first, *block, *length, 0, {}};
    transfer_->data.reserve(*length);
    return "0";
}

std::string Instrument::block_result(std::string_view params) {
    if (!transfer_) {
        return code_reply(code_state, -221, "Settings conflict;no transfer open");
    }
    const std::uint64_t n = ++transfer_->blocks;
    std::string reply;
    const std::optional<Block> block = parse_block(params);
    if (!block) {
        reply = code_reply(code_malformed, -161, "Invalid block data");
    } else if (block->data.size() > transfer_->block_size ||
               transfer_->data.size() + block->data.size() > transfer_->length) {
        reply = code_reply(code_range, -222, "Data out of range");
    } else {
        transfer_->data.append(block->data);
        reply = "0";
    }
    if (const auto it = config_.block_replies.find(n); it != config_.block_replies.end()) {
        reply = it->second;
    }
    return reply;
}

std::optional<std::string> Instrument::update_done(std::string_view) {
    // Nothing open: the engine's abort path may send it anyway.
    if (!transfer_) return std::nullopt;
    if (transfer_->data.size() == transfer_->length) {
        const std::string failure = store_ ? store_(transfer_->id, transfer_->data) : std::string();
        if (!failure.empty()) {
            errors_.push(-300, "Device-specific error;" + failure);
        }
    }
    transfer_.reset();
    return std::nullopt;
}

}  // namespace sim
