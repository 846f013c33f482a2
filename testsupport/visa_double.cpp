#include "visa_double.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

namespace visa_double {
namespace {

struct Scripted {
    ViStatus status;
    ViUInt32 moved;  // viWrite only
};

struct Reply {
    std::string bytes;
    ViStatus status;
};

struct State {
    std::function<void(const std::string&)> after_write;
    std::vector<Call> calls;
    std::map<std::string, std::deque<Scripted>> scripted;
    std::deque<Reply> replies;
    Instrument instrument;
    ViUInt16 interface_type = VI_INTF_TCPIP;
    std::vector<std::string> resources;
    bool find_status_set = false;
    ViStatus find_status = VI_SUCCESS;
    size_t next_resource = 0;
    bool recording = true;
    uint64_t bytes_written = 0;
    // The start of the last message written, which is all the fake instrument
    // needs to choose its answer. A message ends with a write made while
    // VI_ATTR_SEND_END_EN is true. Fixed capacity, so that a benchmark's
    // upload allocates nothing here.
    char pending[64] = {};
    size_t pending_length = 0;
    bool message_ended = true;
    bool send_end = true;
};

State& state() {
    static State s;
    return s;
}

void record(Call call) {
    if (state().recording) state().calls.push_back(std::move(call));
}

bool take_scripted(const char* fn, Scripted* out) {
    auto found = state().scripted.find(fn);
    if (found == state().scripted.end() || found->second.empty()) return false;
    *out = found->second.front();
    found->second.pop_front();
    return true;
}

bool starts_with(const char* text, size_t length, const char* prefix) {
    const size_t n = std::strlen(prefix);
    return length >= n && std::memcmp(text, prefix, n) == 0;
}

std::string instrument_answer() {
    State& s = state();
    Instrument& in = s.instrument;
    const char* m = s.pending;
    const size_t n = s.pending_length;
    if (starts_with(m, n, "*IDN?")) return in.identity;
    if (starts_with(m, n, ":SYST:ERR?")) {
        if (in.errors.empty()) return in.no_error;
        std::string entry = in.errors.front();
        in.errors.pop_front();
        return entry;
    }
    if (starts_with(m, n, "DIAG:UPD:SSIZ?")) return in.sector_reply;
    if (starts_with(m, n, "DIAG:UPD:INIT?")) return in.init_reply;
    if (starts_with(m, n, "DIAG:UPD:BLOC?")) return in.block_reply;
    return {};
}

}  // namespace

void reset() {
    state() = State{};
    reset_extension();
}
void after_write(std::function<void(const std::string& bytes)> hook) {
    state().after_write = std::move(hook);
}
const std::vector<Call>& calls() {
    return state().calls;
}
Instrument& instrument() {
    return state().instrument;
}

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const Call& call : state().calls)
        names.push_back(call.fn);
    return names;
}

std::vector<std::string> writes() {
    std::vector<std::string> bytes;
    for (const Call& call : state().calls)
        if (call.fn == "viWrite") bytes.push_back(call.text);
    return bytes;
}

void fail_next(const std::string& fn, ViStatus status) {
    state().scripted[fn].push_back({status, 0});
}

void short_write_next(ViUInt32 moved, ViStatus status) {
    state().scripted["viWrite"].push_back({status, moved});
}

void queue_read(const std::string& reply, ViStatus status) {
    state().replies.push_back({reply, status});
}

void set_interface_type(ViUInt16 type) {
    state().interface_type = type;
}
void set_resources(std::vector<std::string> list) {
    state().resources = std::move(list);
}
void set_find_status(ViStatus status) {
    state().find_status_set = true;
    state().find_status = status;
}

std::string status_text(ViStatus status) {
    return "desc " + std::to_string(status);
}

void set_recording(bool on) {
    state().recording = on;
}
uint64_t bytes_written() {
    return state().bytes_written;
}

}  // namespace visa_double

using namespace visa_double;

extern "C" {

ViStatus _VI_FUNC viOpenDefaultRM(ViPSession rm) {
    Scripted s{VI_SUCCESS, 0};
    take_scripted("viOpenDefaultRM", &s);
    *rm = s.status < VI_SUCCESS ? VI_NULL : rm_handle;
    record({.fn = "viOpenDefaultRM", .status = s.status});
    return s.status;
}

ViStatus _VI_FUNC viFindRsrc(ViSession rm, ViConstString expr, ViPFindList fl, ViPUInt32 count,
                             ViChar first[]) {
    State& st = state();
    ViStatus status = st.resources.empty() ? VI_ERROR_RSRC_NFOUND : VI_SUCCESS;
    if (st.find_status_set) status = st.find_status;
    *fl = find_handle;
    *count = static_cast<ViUInt32>(st.resources.size());
    first[0] = '\0';
    st.next_resource = 0;
    if (status == VI_SUCCESS && !st.resources.empty()) {
        std::snprintf(first, VI_FIND_BUFLEN, "%s", st.resources[0].c_str());
        st.next_resource = 1;
    }
    record({.fn = "viFindRsrc", .obj = rm, .text = expr, .status = status});
    return status;
}

ViStatus _VI_FUNC viFindNext(ViFindList fl, ViChar next[]) {
    State& st = state();
    Scripted s{VI_SUCCESS, 0};
    ViStatus status = VI_ERROR_RSRC_NFOUND;
    if (take_scripted("viFindNext", &s)) {
        status = s.status;
        if (st.next_resource < st.resources.size()) ++st.next_resource;  // that match is lost
    } else if (st.next_resource < st.resources.size()) {
        std::snprintf(next, VI_FIND_BUFLEN, "%s", st.resources[st.next_resource++].c_str());
        status = VI_SUCCESS;
    }
    record({.fn = "viFindNext", .obj = fl, .status = status});
    return status;
}

ViStatus _VI_FUNC viOpen(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 open_timeout,
                         ViPSession vi) {
    Scripted s{VI_SUCCESS, 0};
    take_scripted("viOpen", &s);
    *vi = s.status == VI_SUCCESS ? instr_handle : VI_NULL;
    record({.fn = "viOpen",
            .obj = rm,
            .text = name,
            .count = open_timeout,
            .mode = mode,
            .status = s.status});
    return s.status;
}

ViStatus _VI_FUNC viClose(ViObject obj) {
    Scripted s{VI_SUCCESS, 0};
    take_scripted("viClose", &s);
    record({.fn = "viClose", .obj = obj, .status = s.status});
    return s.status;
}

ViStatus _VI_FUNC viStatusDesc(ViObject obj, ViStatus status, ViChar desc[]) {
    std::snprintf(desc, 256, "%s", status_text(status).c_str());
    record({.fn = "viStatusDesc", .obj = obj, .value = static_cast<ViAttrState>(status)});
    return VI_SUCCESS;
}

ViStatus _VI_FUNC viGetAttribute(ViObject obj, ViAttr attr, void* value) {
    Scripted s{VI_SUCCESS, 0};
    take_scripted("viGetAttribute", &s);
    if (s.status == VI_SUCCESS && attr == VI_ATTR_INTF_TYPE) {
        const ViUInt16 type = state().interface_type;
        std::memcpy(value, &type, sizeof type);  // exactly the attribute's size
    }
    record({.fn = "viGetAttribute", .obj = obj, .attr = attr, .status = s.status});
    return s.status;
}

ViStatus _VI_FUNC viSetAttribute(ViObject obj, ViAttr attr, ViAttrState value) {
    Scripted s{VI_SUCCESS, 0};
    take_scripted("viSetAttribute", &s);
    if (s.status >= VI_SUCCESS && attr == VI_ATTR_SEND_END_EN) state().send_end = value != 0;
    record({.fn = "viSetAttribute", .obj = obj, .attr = attr, .value = value, .status = s.status});
    return s.status;
}

ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
    State& st = state();
    Scripted s{VI_SUCCESS, count};
    take_scripted("viWrite", &s);
    const ViUInt32 moved = s.moved > count ? count : s.moved;
    *ret_count = moved;
    st.bytes_written += moved;
    if (st.message_ended) st.pending_length = 0;
    st.message_ended = st.send_end;
    const size_t room = sizeof st.pending - st.pending_length;
    const size_t keep = moved < room ? moved : room;
    std::memcpy(st.pending + st.pending_length, buf, keep);
    st.pending_length += keep;
    if (st.recording)
        record({.fn = "viWrite",
                .obj = vi,
                .text = std::string(reinterpret_cast<const char*>(buf), count),
                .count = count,
                .status = s.status});
    if (st.after_write) st.after_write(std::string(reinterpret_cast<const char*>(buf), count));
    return s.status;
}

ViStatus _VI_FUNC viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
    State& st = state();
    Reply reply{{}, VI_SUCCESS};
    if (!st.replies.empty()) {
        reply = std::move(st.replies.front());
        st.replies.pop_front();
    } else {
        reply.bytes = instrument_answer();
    }
    ViUInt32 n = static_cast<ViUInt32>(reply.bytes.size());
    ViStatus status = reply.status;
    if (n > count) {
        n = count;
        if (status == VI_SUCCESS) status = VI_SUCCESS_MAX_CNT;
    }
    std::memcpy(buf, reply.bytes.data(), n);
    *ret_count = n;
    if (st.recording)
        record({.fn = "viRead",
                .obj = vi,
                .text = reply.bytes.substr(0, n),
                .count = count,
                .status = status});
    return status;
}

ViStatus _VI_FUNC viLock(ViSession vi, ViAccessMode lock_type, ViUInt32 timeout,
                         ViConstKeyId requested_key, ViChar access_key[]) {
    Scripted s{VI_SUCCESS, 0};
    take_scripted("viLock", &s);
    record({.fn = "viLock",
            .obj = vi,
            .value = access_key ? 1u : 0u,
            .text = requested_key ? requested_key : "",
            .count = timeout,
            .mode = lock_type,
            .status = s.status});
    return s.status;
}

ViStatus _VI_FUNC viUnlock(ViSession vi) {
    record({.fn = "viUnlock", .obj = vi});
    return VI_SUCCESS;
}

}  // extern "C"
