#include "scpi_framing.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

// The transcript of a runaway message stops growing here; the message itself
// is bounded by the splitter's limit.
constexpr std::size_t transcript_cap = 4096;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

void append_printable(std::string& out, char c) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
        out += "\\\\";
    } else if (u >= 0x20 && u < 0x7f) {
        out += c;
    } else {
        static const char hex[] = "0123456789abcdef";
        out += "\\x";
        out += hex[u >> 4];
        out += hex[u & 0xf];
    }
}

void MessageSplitter::reset() {
    state_ = State::text;
    quote_ = 0;
    digits_left_ = 0;
    block_length_ = block_left_ = block_seen_ = 0;
    threshold_reported_ = false;
    in_message_ = false;
    current_ = ProgramMessage{};
}

void MessageSplitter::append(char c) {
    in_message_ = true;
    if (current_.bytes.size() < limit_) {
        current_.bytes += c;
    } else {
        current_.overflow = true;
    }
    if (current_.transcript.size() < transcript_cap) {
        append_printable(current_.transcript, c);
    } else if (current_.transcript.size() == transcript_cap) {
        current_.transcript += "...";
    }
}

void MessageSplitter::finish(std::vector<ProgramMessage>& out) {
    if (in_message_) {
        out.push_back(std::move(current_));
    }
    current_ = ProgramMessage{};
    in_message_ = false;
    state_ = State::text;
    block_seen_ = 0;
    threshold_reported_ = false;
}

std::string MessageSplitter::partial_transcript() const {
    std::string t = current_.transcript;
    if (state_ == State::block_data) {
        t += "<" + std::to_string(block_seen_) + " of " + std::to_string(block_length_) + " bytes>";
    }
    return t;
}

// What a character does to the state it is read in (block data aside),
// once it is part of the message.
const MessageSplitter::CharStep MessageSplitter::after_char_[] = {
    &MessageSplitter::after_text,  // State::text
    &MessageSplitter::after_quoted,
    &MessageSplitter::after_hash,
    &MessageSplitter::after_length_digit,
};

void MessageSplitter::after_text(char c) {
    if (c == '"' || c == '\'') {
        quote_ = c;
        state_ = State::quoted;
    } else if (c == '#') {
        state_ = State::hash;
    }
}

void MessageSplitter::after_quoted(char c) {
    if (c == quote_) state_ = State::text;
}

void MessageSplitter::after_hash(char c) {
    if (c >= '1' && c <= '9') {
        digits_left_ = c - '0';
        block_length_ = 0;
        state_ = State::block_length;
    } else {
        // "#0" (indefinite length) and anything else read on as text.
        state_ = State::text;
    }
}

void MessageSplitter::after_length_digit(char c) {
    if (!is_digit(c)) {
        state_ = State::text;  // malformed header; the command will say so
        return;
    }
    block_length_ = block_length_ * 10 + static_cast<std::uint64_t>(c - '0');
    if (--digits_left_ != 0) return;
    block_left_ = block_length_;
    block_seen_ = 0;
    if (block_length_ == 0) {
        current_.transcript += "<0 bytes>";
        state_ = State::text;
        return;
    }
    if (current_.bytes.size() + block_length_ > limit_) {
        current_.overflow = true;  // counted, never stored
    } else {
        // One allocation for the whole block instead of a doubling series
        // of copies.
        current_.bytes.reserve(current_.bytes.size() + block_length_ + 2);
    }
    state_ = State::block_data;
}

std::size_t MessageSplitter::take_block(std::string_view rest, FeedResult& result) {
    std::uint64_t take = std::min<std::uint64_t>(block_left_, rest.size());
    if (threshold_ && !threshold_reported_) {
        const std::uint64_t room = *threshold_ > block_seen_ ? *threshold_ - block_seen_ : 0;
        if (take >= room) {
            take = room;
            threshold_reported_ = true;
            result.block_threshold_hit = true;
        }
    }
    if (!current_.overflow && current_.bytes.size() + take <= limit_) {
        current_.bytes.append(rest.data(), static_cast<std::size_t>(take));
    } else {
        current_.overflow = true;
    }
    block_left_ -= take;
    block_seen_ += take;
    if (block_left_ == 0) {
        current_.transcript += "<" + std::to_string(block_length_) + " bytes>";
        state_ = State::text;
    }
    return static_cast<std::size_t>(take);
}

MessageSplitter::FeedResult MessageSplitter::feed(std::string_view data, bool end,
                                                  std::vector<ProgramMessage>& out) {
    FeedResult result;
    std::size_t i = 0;
    while (i < data.size()) {
        if (state_ == State::block_data) {
            i += take_block(data.substr(i), result);
            if (result.block_threshold_hit) {
                result.consumed = i;
                return result;
            }
            continue;
        }
        const char c = data[i++];
        if (c == '\n') {
            // LF ends the message wherever it stands outside block data; an
            // unterminated string or a half-written block header ends with it.
            const bool had_message = in_message_;
            finish(out);
            if (had_message) {
                // One message at a time: executing it may change the limit
                // that applies to the next one.
                result.consumed = i;
                return result;
            }
            continue;
        }
        append(c);
        const CharStep step = after_char_[static_cast<std::size_t>(state_)];
        (this->*step)(c);
    }
    result.consumed = i;
    if (end && state_ != State::block_data) {
        finish(out);
    }
    return result;
}

std::optional<Block> parse_block(std::string_view text) {
    if (text.size() < 3 || text[0] != '#' || text[1] < '1' || text[1] > '9') {
        return std::nullopt;
    }
    const std::size_t digits = static_cast<std::size_t>(text[1] - '0');
    if (text.size() < 2 + digits) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    for (std::size_t k = 0; k < digits; ++k) {
        const char c = text[2 + k];
        if (!is_digit(c)) {
            return std::nullopt;
        }
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
    }
    const std::size_t start = 2 + digits;
    if (text.size() - start < length) {
        return std::nullopt;
    }
    for (std::size_t k = start + static_cast<std::size_t>(length); k < text.size(); ++k) {
        if (!std::isspace(static_cast<unsigned char>(text[k]))) {
            return std::nullopt;
        }
    }
    return Block{text.substr(start, static_cast<std::size_t>(length))};
}

std::vector<std::string_view> split_units(std::string_view message) {
    std::vector<std::string_view> units;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < message.size()) {
        const char c = message[i];
        if (c == '"' || c == '\'') {
            const std::size_t close = message.find(c, i + 1);
            i = close == std::string_view::npos ? message.size() : close + 1;
        } else if (c == '#' && i + 1 < message.size() && message[i + 1] >= '1' &&
                   message[i + 1] <= '9') {
            const std::size_t digits = static_cast<std::size_t>(message[i + 1] - '0');
            std::uint64_t length = 0;
            bool ok = i + 2 + digits <= message.size();
            for (std::size_t k = 0; ok && k < digits; ++k) {
                const char d = message[i + 2 + k];
                ok = is_digit(d);
                length = length * 10 + static_cast<std::uint64_t>(d - '0');
            }
            if (ok) {
                const std::uint64_t after = i + 2 + digits + length;
                i = after > message.size() ? message.size() : static_cast<std::size_t>(after);
            } else {
                ++i;
            }
        } else if (c == ';') {
            units.push_back(message.substr(start, i - start));
            start = ++i;
        } else {
            ++i;
        }
    }
    units.push_back(message.substr(start));
    return units;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace sim
