#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One complete program message as the instrument's parser sees it: the bytes
// without the terminating LF, and a one-line rendering for the transcript in
// which definite-length block data is replaced by "<N bytes>".
struct ProgramMessage {
    std::string bytes;
    std::string transcript;
    // The message outgrew the size limit; `bytes` then holds only what fitted
    // and must not be executed as sent.
    bool overflow = false;
};

// Splits a byte stream into IEEE 488.2 program messages.
//
// A message ends at LF or at END (the transport's end-of-message flag on the
// last byte of a write), except inside a definite-length block "#<n><len>":
// its <len> data bytes are counted, never scanned, so LF, NUL or END among
// them do not end anything. Ending at LF as well as END is deliberate: some
// clients send long writes with no END at all (see PROTOCOLS.md, pyvisa-py
// 0.5.1) and a raw socket has no END to send.
class MessageSplitter {
public:
    explicit MessageSplitter(std::size_t limit = 1u << 20) : limit_(limit) {}

    struct FeedResult {
        std::size_t consumed = 0;          // bytes of `data` taken
        bool block_threshold_hit = false;  // stopped: see set_block_threshold
    };

    // Takes bytes; `end` says the last byte of `data` carried END. Returns
    // after each complete message (appended to `out`) so that the caller can
    // act on it before the next one is framed, or when the block threshold is
    // reached; `consumed` tells how far it got. Call again with the rest.
    FeedResult feed(std::string_view data, bool end, std::vector<ProgramMessage>& out);

    // Largest message kept; longer ones are delivered with `overflow` set.
    // Applies from the next byte on.
    void set_limit(std::size_t limit) { limit_ = limit; }

    // Once this many data bytes of one block have arrived, feed() stops and
    // reports it (used to cut a connection in the middle of a block).
    void set_block_threshold(std::optional<std::uint64_t> bytes) { threshold_ = bytes; }

    // Forgets a partial message (device clear, dropped connection).
    void reset();

    bool idle() const { return state_ == State::text && current_.bytes.empty() && !in_message_; }
    // Transcript form of a message cut short, e.g. by a dropped connection.
    std::string partial_transcript() const;

private:
    // block_data last: the states before it index after_char_.
    enum class State { text, quoted, hash, block_length, block_data };
    using CharStep = void (MessageSplitter::*)(char c);
    static const CharStep after_char_[];

    void append(char c);
    void finish(std::vector<ProgramMessage>& out);
    void after_text(char c);
    void after_quoted(char c);
    void after_hash(char c);
    void after_length_digit(char c);
    // Takes what `rest` holds of the block's data, up to the threshold.
    std::size_t take_block(std::string_view rest, FeedResult& result);

    std::size_t limit_;
    std::optional<std::uint64_t> threshold_;
    State state_ = State::text;
    char quote_ = 0;
    int digits_left_ = 0;
    std::uint64_t block_length_ = 0;
    std::uint64_t block_left_ = 0;
    std::uint64_t block_seen_ = 0;
    bool threshold_reported_ = false;
    bool in_message_ = false;
    ProgramMessage current_;
};

// Escapes a byte for a one-line transcript: printable ASCII as is, the rest
// as \xNN (and the backslash doubled).
void append_printable(std::string& out, char c);

// A parsed definite-length block: "#<n><len><len bytes>" followed by nothing
// but white space.
struct Block {
    std::string_view data;
};
std::optional<Block> parse_block(std::string_view text);

// Equal but for the case of ASCII letters (device names, sub-addresses).
bool iequals(std::string_view a, std::string_view b);

// Splits one program message into its program message units at ';', outside
// quoted strings and block data.
std::vector<std::string_view> split_units(std::string_view message);

}  // namespace sim
