#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "visa.h"
#include "visa/failure.h"
#include "visa/rsrc_name.h"
#include "visa/transport.h"

namespace visa {

class LockTable;

// One open instrument session: its attributes, the completion rules of
// viRead/viWrite, and its place in the lock table, over one transport.
// Calls on one session are serialised by its own mutex; different sessions
// run in parallel.
class Session {
public:
    // The session's handle `id` keys it in `locks`. `transport` is unopened.
    Session(ViSession id, RsrcName name, std::unique_ptr<Transport> transport, LockTable& locks);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects, waiting at most `timeout_ms`.
    ViStatus open(uint32_t timeout_ms);

    // Writes exactly the attribute's size at `value`.
    ViStatus get_attribute(ViAttr attr, void* value);
    ViStatus set_attribute(ViAttr attr, ViAttrState value);

    // `ret` may be null.
    ViStatus read(ViByte* buf, ViUInt32 count, ViUInt32* ret);
    ViStatus write(const ViByte* buf, ViUInt32 count, ViUInt32* ret);
    // viAssertTrigger with the default protocol, through the transport.
    ViStatus assert_trigger();

    // `requested_key` and `access_key` may be null; `access_key` receives the
    // shared lock's key (at most 255 characters and a terminator).
    ViStatus lock(ViAccessMode type, ViUInt32 timeout_ms, const char* requested_key,
                  char* access_key);
    ViStatus unlock();

    // Device clear and the status byte, through the transport.
    ViStatus clear();
    ViStatus read_stb(ViUInt16* stb);

    // Releases locks and the connection. Further calls answer
    // VI_ERROR_INV_OBJECT. May come while other threads have calls on this
    // session in progress or waiting for their turn: the waiting ones answer
    // VI_ERROR_INV_OBJECT at once, the one in progress is cut short by the
    // transport (VI_ERROR_CONN_LOST), and this returns within the documented
    // margin instead of after all their time-outs.
    ViStatus close();

    const std::string& canonical() const { return canonical_; }

    // The last failure of this session's link (a read, a write or a lock).
    std::optional<Failure> last_failure();

private:
    ViStatus check_usable();
    // read() once the session may read.
    ViStatus read_locked(ViByte* buf, ViUInt32 count, ViUInt32* ret);
    // Keeps the failure `st` of a call at `stage` as this session's and this
    // thread's last; statuses that are not the link's are left alone.
    void note_failure(ViStatus st, int stage);
    // The attributes every session answers alike, whatever its transport.
    bool general_attribute(ViAttr attr, void* value);

    const ViSession id_;
    const RsrcName name_;
    const std::string canonical_;
    std::string lock_key_;  // instrument_key(name_), once open
    std::unique_ptr<Transport> transport_;
    LockTable& locks_;
    std::mutex mutex_;
    bool open_ = false;
    std::atomic<bool> closing_{false};
    std::string shared_key_;
    std::optional<Failure> last_failure_;

    ViUInt32 timeout_ms_ = 2000;
    ViUInt8 term_char_ = '\n';
    bool term_char_en_ = false;
    bool send_end_en_ = true;
    bool suppress_end_en_;
    ViUInt64 user_data_ = 0;  // VI_ATTR_USER_DATA: the caller's, never interpreted
};

}  // namespace visa
