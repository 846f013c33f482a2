#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "visa/transport.h"
#include "visa/usbtmc/usb_pipe.h"
#include "visa/usbtmc/usbtmc_wire.h"

namespace visa::usbtmc {

// Opens the pipe a resource names; see open_usbtmc_pipe().
using PipeOpener =
    std::function<PipeResult(const RsrcName&, std::unique_ptr<UsbPipe>*, std::string*)>;

// USBTMC/USB488 over one interface of a USB device (a USB INSTR resource).
//
// The interface is claimed only for the length of each operation, so that
// other sessions, here or in other processes, may share the instrument as
// they do a LAN one; an exclusive lock keeps the claim until unlock, which is
// what shuts everyone else out. A failed or timed-out transfer is followed by
// the abort sequence of its endpoint, so the next operation starts clean.
class UsbtmcTransport final : public Transport {
public:
    // Over libusb.
    UsbtmcTransport();
    // Over whatever `opener` gives (tests hand in a scripted pipe).
    explicit UsbtmcTransport(PipeOpener opener);
    ~UsbtmcTransport() override;

    ViStatus open(const RsrcName& name, uint32_t timeout_ms) override;
    // Sends DEV_DEP_MSG_OUT transfers, EOM on the last one exactly when `end`.
    ViStatus write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                   size_t* written) override;
    // Sends REQUEST_DEV_DEP_MSG_IN and gathers DEV_DEP_MSG_IN transfers until
    // EOM, the termination character or `count` bytes.
    ViStatus read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                  ReadStop* why) override;
    // Holds the interface claim; VI_ERROR_TMO when another handle holds it.
    ViStatus lock(uint32_t timeout_ms) override;
    ViStatus unlock(uint32_t timeout_ms) override;
    // INITIATE_CLEAR, CHECK_CLEAR_STATUS until done, then clears Bulk-OUT's halt.
    ViStatus clear(uint32_t timeout_ms) override;
    // USB488 READ_STATUS_BYTE, the byte from Interrupt-IN when there is one.
    ViStatus read_stb(uint32_t timeout_ms, uint16_t* stb) override;
    // The ids and serial that found the device, the interface opened (also
    // when the resource named none), its protocol and the device's strings.
    std::optional<DeviceIdentity> identity() const override;
    // Releases the interface and gives it back to a kernel driver we took it from.
    ViStatus close(uint32_t timeout_ms) override;

    // Pause between status polls of the abort and clear sequences.
    void set_poll_interval_ms(uint32_t ms) { poll_interval_ms_ = ms; }
    // Largest transfer (header included), rounded down to whole packets.
    void set_max_transfer(size_t bytes) { max_transfer_ = bytes; }

    const std::optional<Capabilities>& capabilities() const { return caps_; }

private:
    // Each control request of a recovery sequence gets this long; the
    // operation's own time-out has usually run out when recovery starts.
    static constexpr uint32_t control_timeout_ms = 500;
    // Bound on draining Bulk-IN, so a device that keeps sending cannot hang
    // a session.
    static constexpr int max_drain_transfers = 64;

    class Claim;

    ViStatus begin(uint32_t timeout_ms);
    void end_operation();
    ViStatus fail(PipeResult r, const char* what);
    void fetch_capabilities();
    ViStatus write_transfer(const ViByte* data, size_t size, bool eom, uint32_t timeout_ms,
                            size_t* sent);
    ViStatus request_in(size_t max, const ReadOptions& opts, uint32_t timeout_ms);
    ViStatus receive_in(size_t max, uint32_t timeout_ms, Header* header);
    size_t take_pending(ViByte* buf, size_t count, const ReadOptions& opts, bool* at_term);
    void abort_bulk_out(uint8_t tag);
    void abort_bulk_in(uint8_t tag);
    // Polls `request` until its status is not PENDING; returns that status.
    uint8_t poll_status(uint8_t type, uint8_t request, uint16_t index, uint16_t size,
                        std::vector<uint8_t>* reply, bool drain_in);
    void drain_bulk_in();
    void pause();

    PipeOpener opener_;
    std::unique_ptr<UsbPipe> pipe_;
    std::string name_;  // canonical resource, for the log
    DeviceIdentity identity_;
    std::optional<Capabilities> caps_;
    DeviceTags* tags_ = nullptr;  // the device's, set by open()
    uint8_t request_tag_ = 0;     // of the last REQUEST_DEV_DEP_MSG_IN sent
    bool locked_ = false;
    bool claimed_ = false;
    bool lost_ = false;
    uint32_t poll_interval_ms_ = 5;
    size_t max_transfer_ = 256 * 1024;
    std::vector<uint8_t> out_buf_;
    std::vector<uint8_t> in_buf_;
    // The last DEV_DEP_MSG_IN transfer's data not yet handed out lies in
    // in_buf_[pending_pos_, pending_end_) (the termination character or the
    // count ended the read early); `pending_eom_` says that transfer ended
    // the message.
    size_t pending_pos_ = 0;
    size_t pending_end_ = 0;
    bool pending_eom_ = false;
};

}  // namespace visa::usbtmc
