#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "visa/hislip/message.h"
#include "visa/transport.h"

namespace visa::net {
class Deadline;
}

namespace visa::hislip {

// A HiSLIP client session (TCPIP::host::hislipN[,port]::INSTR): two TCP
// connections to one port, the synchronous one for data and the
// asynchronous one for locks, device clear and the status byte.
//
// Reads hand out Data/DataEND payloads as they arrive and stop at DataEND,
// at the termination character or at the count; data stamped with the id of
// an earlier message is a stale answer and is dropped. A write is on the
// wire when it returns, in messages of at most the server's maximum size,
// with DataEND only where END is written. A peer that stalls costs at most the call's time-out; a
// FatalError, a malformed header or a write cut short in the middle of a message ends the session
// (later calls answer VI_ERROR_CONN_LOST), and so does a control request whose answer does not come
// in time: a late answer must never be taken for the next request's.
class HislipTransport final : public Transport {
public:
    // Longest payload kept for any message but Data and DataEND (error
    // texts, sizes, sub-addresses).
    static constexpr size_t max_control_payload = 4096;
    // The largest message we take, announced in AsyncMaximumMessageSize.
    static constexpr uint64_t client_max_message = 1024 * 1024;
    // A read logs this many dropped messages one by one, then only how many
    // more it dropped: a server may send them without pause.
    static constexpr unsigned max_logged_drops = 8;

    HislipTransport() = default;
    ~HislipTransport() override;

    ViStatus open(const RsrcName& name, uint32_t timeout_ms) override;
    ViStatus write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                   size_t* written) override;
    ViStatus read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                  ReadStop* why) override;
    // AsyncLock with the time-out as the server's wait; VI_ERROR_TMO when
    // another client keeps it.
    ViStatus lock(uint32_t timeout_ms) override;
    ViStatus unlock(uint32_t timeout_ms) override;
    // AsyncDeviceClear, then DeviceClearComplete on the data channel; input
    // that arrives meanwhile is dropped and message ids start again.
    ViStatus clear(uint32_t timeout_ms) override;
    ViStatus read_stb(uint32_t timeout_ms, ViUInt16* stb) override;
    // Shuts both channels down under a call in progress.
    void cancel() override;
    // Releases a lock still held, half-closes the data channel and waits
    // briefly for the server to close it, so that everything written has
    // been read when this returns.
    ViStatus close(uint32_t timeout_ms) override;

    // What was agreed at open (for tests and log lines).
    uint16_t version() const { return version_; }
    uint16_t session_id() const { return session_id_; }
    uint64_t max_payload() const { return max_payload_; }

private:
    enum class Channel { sync, async };

    // Initialize on the data channel, then connects the control channel and
    // agrees on the maximum message size.
    ViStatus handshake(const std::string& sub_address, const sockaddr_in& addr,
                       const net::Deadline& deadline);
    // Sends a header and payload as one message; marks the session broken
    // when the deadline cuts it in half.
    ViStatus send(Channel ch, const Header& h, const void* payload, size_t size,
                  const net::Deadline& deadline);
    // One Data (or, with `end`, DataEND) message carrying `data`, under the
    // next message id.
    ViStatus send_data(bool end, const ViByte* data, size_t size, const net::Deadline& deadline);
    // read() without its summary log line.
    ViStatus read_messages(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                           ReadStop* why);
    // Counts a message read() drops; true while it is still worth a log line.
    bool log_drop();
    ViStatus await_data(const net::Deadline& deadline);
    bool copy_data(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got);
    // Receives more bytes of channel `ch` into its decoder. VI_ERROR_TMO once
    // the deadline is overdue, however fast the server sends.
    ViStatus receive(Channel ch, const net::Deadline& deadline);
    // The next whole message on the asynchronous channel of type `want`,
    // skipping service requests and interrupt notices. A time-out ends the
    // session.
    ViStatus await_async(Type want, Header* h, std::string* payload, const net::Deadline& deadline);
    // Sends `request` (no payload) on the asynchronous channel and waits for
    // its `answer`.
    ViStatus ask_async(const Header& request, Type answer, Header* reply,
                       const net::Deadline& deadline);
    // Turns an Error or FatalError from the server into a log line and a
    // status; FatalError also ends the session.
    ViStatus peer_error(Channel ch, const Header& h, std::string_view text);
    // Gives up on a server that broke the protocol: logs `what`, tells the
    // server (without waiting) and ends the session. Returns VI_ERROR_IO.
    // AsyncLock release, waiting for the answer until `deadline`.
    ViStatus release(const net::Deadline& deadline);
    ViStatus protocol_fault(Channel ch, const std::string& what,
                            FatalCode code = FatalCode::unidentified);
    void fail();
    ViStatus usable() const;
    bool accept_id(uint32_t id) const;

    int sync_fd_ = -1;
    int async_fd_ = -1;
    std::string where_;  // resource name for log lines
    bool broken_ = false;
    std::atomic<bool> cancelled_{false};
    Decoder sync_in_{max_control_payload};
    Decoder async_in_{max_control_payload};

    uint16_t version_ = version_1_0;
    uint16_t session_id_ = 0;
    uint64_t max_payload_ = 0;  // largest Data payload the server takes
    bool overlapped_ = false;
    bool locked_ = false;

    uint32_t next_id_ = first_message_id;
    uint32_t last_sent_id_ = no_message_id;
    // Answers carry the id of the message that ended the query: the last
    // DataEND sent or a Data message after it. Data stamped with an older id
    // answers a query given up on and is dropped.
    uint32_t answer_id_ = no_message_id;
    // A whole answer reached the application since the last message sent.
    bool rmt_delivered_ = false;
    bool in_data_ = false;   // inside a Data/DataEND payload
    bool data_end_ = false;  // ... and it is a DataEND
    unsigned dropped_ = 0;   // messages the current read dropped
};

}  // namespace visa::hislip
