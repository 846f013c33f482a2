// The VISA entry points. Each one looks its object up under the handle-table
// mutex, then works on the object without it, so a blocking read on one
// session does not hold up another. No exception leaves this file.
//
// This file is compiled twice. In libfwvisa.so the functions below keep
// their standard names. In the static library that programs link, the build
// forces builtin_names.h in ahead of everything, which renames each one
// (viWrite becomes fwvisa_builtin_viWrite, and so on), so that the loader
// (loader.cpp) can own the standard names and forward every call to the
// library a run chose: the built-in one by default, or one loaded with
// dlopen. A debugger or a profile of a program shows the fwvisa_builtin_
// names; grep for "FWVISA_FUNCTIONS" to find the list they come from.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "fwvisa_ext.h"
#include "visa.h"
#include "visa/discovery.h"
#include "visa/extension.h"
#include "visa/failure.h"
#include "visa/find_expr.h"
#include "visa/library_info.h"
#include "visa/lock_table.h"
#include "visa/log.h"
#include "visa/rsrc_name.h"
#include "visa/session.h"
#include "visa/status_desc.h"
#include "visa/transports.h"

namespace visa {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.api";

// Connecting (portmapper, link) is bounded by the default I/O time-out even
// when viOpen's own time-out, which governs only the lock, is shorter.
constexpr ViUInt32 connect_floor_ms = 2000;

struct ResourceManager {
    std::set<ViObject> children;  // sessions and find lists opened from it
};

struct FindList {
    ViSession rm;
    std::vector<std::string> items;
    size_t next = 1;  // items[0] went out with viFindRsrc
};

class Registry {
public:
    // Never destroyed: sessions still open at exit are not closed from static
    // destructors (which could run after the lock table's, and would talk to
    // instruments during exit); the kernel closes their sockets and drops their
    // file locks.
    static Registry& get() {
        static Registry& r = *new Registry;
        return r;
    }

    ViObject new_id() {
        std::lock_guard<std::mutex> g(mutex);
        return new_id_locked();
    }

    ViObject new_id_locked() {
        // Handles are never reused while alive; 0 is VI_NULL.
        do {
            ++last_id_;
        } while (last_id_ == VI_NULL || rms.count(last_id_) || sessions.count(last_id_) ||
                 lists.count(last_id_));
        return last_id_;
    }

    std::mutex mutex;
    std::map<ViObject, std::shared_ptr<ResourceManager>> rms;
    std::map<ViObject, std::pair<ViSession, std::shared_ptr<Session>>> sessions;  // rm, session
    std::map<ViObject, std::shared_ptr<FindList>> lists;

private:
    ViObject last_id_ = 0;
};

std::shared_ptr<Session> find_session(ViSession vi) {
    auto& r = Registry::get();
    std::lock_guard<std::mutex> g(r.mutex);
    auto it = r.sessions.find(vi);
    return it == r.sessions.end() ? nullptr : it->second.second;
}

template <class F>
ViStatus guarded(const char* what, F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        log_error(log_module, "%s: out of memory", what);
        return VI_ERROR_ALLOC;
    } catch (const std::exception& e) {
        log_error(log_module, "%s: %s", what, e.what());
        return VI_ERROR_SYSTEM_ERROR;
    } catch (...) {
        log_error(log_module, "%s: unexpected exception", what);
        return VI_ERROR_SYSTEM_ERROR;
    }
}

// `answer` for an open session, VI_ERROR_INV_OBJECT otherwise.
ViStatus for_session(const char* what, ViSession vi, ViStatus answer) {
    return guarded(what,
                   [&]() -> ViStatus { return find_session(vi) ? answer : VI_ERROR_INV_OBJECT; });
}

void copy_desc(ViChar* out, const std::string& s) {
    if (out == nullptr) return;
    size_t n = std::min<size_t>(s.size(), VI_FIND_BUFLEN - 1);
    std::memcpy(out, s.data(), n);
    out[n] = '\0';
}

}  // namespace
}  // namespace visa

using visa::copy_desc;
using visa::guarded;
using visa::Registry;

extern "C" {

ViStatus _VI_FUNC viOpenDefaultRM(ViPSession rm) {
    return guarded("viOpenDefaultRM", [&]() -> ViStatus {
        if (rm == nullptr) return VI_ERROR_INV_PARAMETER;
        auto& r = Registry::get();
        auto obj = std::make_shared<visa::ResourceManager>();
        std::lock_guard<std::mutex> g(r.mutex);
        ViObject id = r.new_id_locked();
        r.rms.emplace(id, std::move(obj));
        *rm = id;
        return VI_SUCCESS;
    });
}

ViStatus _VI_FUNC viFindRsrc(ViSession rm, ViConstString expr, ViPFindList fl, ViPUInt32 count,
                             ViChar first[]) {
    return guarded("viFindRsrc", [&]() -> ViStatus {
        if (fl != nullptr) *fl = VI_NULL;
        if (count != nullptr) *count = 0;
        auto& r = Registry::get();
        {
            std::lock_guard<std::mutex> g(r.mutex);
            if (!r.rms.count(rm)) return VI_ERROR_INV_OBJECT;
        }
        if (expr == nullptr) return VI_ERROR_INV_EXPR;
        auto matcher = visa::FindExpr::compile(expr);
        if (!matcher) {
            visa::log_error(visa::log_module, "viFindRsrc: malformed expression \"%s\"", expr);
            return VI_ERROR_INV_EXPR;
        }
        auto list = std::make_shared<visa::FindList>();
        list->rm = rm;
        // A find for USB or serial resources alone sends nothing to the LAN.
        for (auto& rsrc : visa::discover_resources(matcher->may_match_prefix("TCPIP")))
            if (matcher->matches(rsrc)) list->items.push_back(std::move(rsrc));
        if (list->items.empty()) return VI_ERROR_RSRC_NFOUND;
        copy_desc(first, list->items.front());
        if (count != nullptr) *count = ViUInt32(list->items.size());
        if (fl != nullptr) {
            std::lock_guard<std::mutex> g(r.mutex);
            auto owner = r.rms.find(rm);
            if (owner == r.rms.end()) return VI_ERROR_INV_OBJECT;  // closed meanwhile
            ViObject id = r.new_id_locked();
            owner->second->children.insert(id);
            r.lists.emplace(id, std::move(list));
            *fl = id;
        }
        return VI_SUCCESS;
    });
}

ViStatus _VI_FUNC viFindNext(ViFindList fl, ViChar next[]) {
    return guarded("viFindNext", [&]() -> ViStatus {
        auto& r = Registry::get();
        std::lock_guard<std::mutex> g(r.mutex);
        auto it = r.lists.find(fl);
        if (it == r.lists.end()) return VI_ERROR_INV_OBJECT;
        auto& list = *it->second;
        if (list.next >= list.items.size()) return VI_ERROR_RSRC_NFOUND;
        copy_desc(next, list.items[list.next++]);
        return VI_SUCCESS;
    });
}

ViStatus _VI_FUNC viParseRsrcEx(ViSession rm, ViConstRsrc name, ViPUInt16 intf_type,
                                ViPUInt16 intf_num, ViChar rsrc_class[], ViChar expanded_name[],
                                ViChar alias[]) {
    return guarded("viParseRsrcEx", [&]() -> ViStatus {
        {
            auto& r = Registry::get();
            std::lock_guard<std::mutex> g(r.mutex);
            if (!r.rms.count(rm)) return VI_ERROR_INV_OBJECT;
        }
        if (name == nullptr) return VI_ERROR_INV_RSRC_NAME;
        auto parsed = visa::parse_rsrc_name(name);
        if (!parsed) return VI_ERROR_INV_RSRC_NAME;
        if (intf_type != nullptr) *intf_type = parsed->intf_type();
        if (intf_num != nullptr) *intf_num = parsed->board;
        copy_desc(rsrc_class, parsed->rsrc_class());
        copy_desc(expanded_name, parsed->canonical());
        copy_desc(alias, "");  // this library keeps no aliases
        return VI_SUCCESS;
    });
}

ViStatus _VI_FUNC viParseRsrc(ViSession rm, ViConstRsrc name, ViPUInt16 intf_type,
                              ViPUInt16 intf_num) {
    return viParseRsrcEx(rm, name, intf_type, intf_num, nullptr, nullptr, nullptr);
}

ViStatus _VI_FUNC viOpen(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 open_timeout,
                         ViPSession vi) {
    return guarded("viOpen", [&]() -> ViStatus {
        if (vi != nullptr) *vi = VI_NULL;
        visa::set_failure_detail(VI_SUCCESS, {});
        visa::forget_failure();
        auto& r = Registry::get();
        {
            std::lock_guard<std::mutex> g(r.mutex);
            if (!r.rms.count(rm)) return VI_ERROR_INV_OBJECT;
        }
        if (vi == nullptr) return VI_ERROR_INV_PARAMETER;
        if (name == nullptr) return VI_ERROR_INV_RSRC_NAME;
        if ((mode & ~ViAccessMode(VI_EXCLUSIVE_LOCK | VI_LOAD_CONFIG)) != 0)
            return VI_ERROR_INV_ACC_MODE;
        auto parsed = visa::parse_rsrc_name(name);
        if (!parsed) {
            visa::log_error(visa::log_module, "viOpen: malformed resource string \"%.300s\"", name);
            return VI_ERROR_INV_RSRC_NAME;
        }
        auto transport = visa::make_transport(parsed->kind);
        if (!transport) {
            visa::log_error(visa::log_module, "%s: no transport for this kind of resource",
                            parsed->canonical().c_str());
            visa::record_failure_with_detail(visa::failure(
                VI_ERROR_RSRC_NFOUND, FWVISA_STAGE_DEVICE, FWVISA_CAUSE_NOT_FOUND, {}, 0,
                parsed->kind == visa::RsrcKind::serial
                    ? "this library cannot open serial ports"
                    : "this library has no transport for such resources"));
            return VI_ERROR_RSRC_NFOUND;
        }
        ViSession id = r.new_id();
        auto session = std::make_shared<visa::Session>(id, std::move(*parsed), std::move(transport),
                                                       visa::LockTable::process());
        ViUInt32 connect_ms = std::max(open_timeout, visa::connect_floor_ms);
        ViStatus st = session->open(connect_ms);
        if (st < 0) return st;
        if (mode & VI_EXCLUSIVE_LOCK) {
            ViStatus ls = session->lock(VI_EXCLUSIVE_LOCK, open_timeout, nullptr, nullptr);
            if (ls < 0) {
                session->close();
                return ls;
            }
        }
        std::lock_guard<std::mutex> g(r.mutex);
        auto owner = r.rms.find(rm);
        if (owner == r.rms.end()) {
            session->close();
            return VI_ERROR_INV_OBJECT;
        }
        owner->second->children.insert(id);
        r.sessions.emplace(id, std::make_pair(rm, std::move(session)));
        *vi = id;
        return st;
    });
}

ViStatus _VI_FUNC viClose(ViObject obj) {
    return guarded("viClose", [&]() -> ViStatus {
        if (obj == VI_NULL) return VI_WARN_NULL_OBJECT;
        auto& r = Registry::get();
        std::vector<std::shared_ptr<visa::Session>> to_close;
        {
            std::lock_guard<std::mutex> g(r.mutex);
            if (auto s = r.sessions.find(obj); s != r.sessions.end()) {
                if (auto owner = r.rms.find(s->second.first); owner != r.rms.end())
                    owner->second->children.erase(obj);
                to_close.push_back(std::move(s->second.second));
                r.sessions.erase(s);
            } else if (auto l = r.lists.find(obj); l != r.lists.end()) {
                if (auto owner = r.rms.find(l->second->rm); owner != r.rms.end())
                    owner->second->children.erase(obj);
                r.lists.erase(l);
                return VI_SUCCESS;
            } else if (auto m = r.rms.find(obj); m != r.rms.end()) {
                for (ViObject child : m->second->children) {
                    if (auto cs = r.sessions.find(child); cs != r.sessions.end()) {
                        to_close.push_back(std::move(cs->second.second));
                        r.sessions.erase(cs);
                    }
                    r.lists.erase(child);
                }
                r.rms.erase(m);
            } else {
                return VI_ERROR_INV_OBJECT;
            }
        }
        // Outside the table lock: closing talks to instruments.
        ViStatus st = VI_SUCCESS;
        for (auto& s : to_close) {
            ViStatus cs = s->close();
            if (cs < 0) st = cs;
        }
        return st;
    });
}

ViStatus _VI_FUNC viStatusDesc(ViObject /*obj*/, ViStatus status, ViChar desc[]) {
    // Any object is accepted: callers describe failures of sessions that never
    // opened or are already closed.
    if (desc == nullptr) return VI_ERROR_INV_PARAMETER;
    if (!visa::status_desc(status, desc, 256)) return VI_WARN_UNKNOWN_STATUS;
    // What only the failing spot knew (which device node, what to install).
    if (std::string detail = visa::failure_detail(status); !detail.empty()) {
        size_t used = std::strlen(desc);
        std::snprintf(desc + used, 256 - used, " (%s)", detail.c_str());
    }
    return VI_SUCCESS;
}

ViStatus _VI_FUNC viGetAttribute(ViObject obj, ViAttr attr, void* value) {
    return guarded("viGetAttribute", [&]() -> ViStatus {
        if (value == nullptr) return VI_ERROR_INV_PARAMETER;
        if (auto s = visa::find_session(obj)) return s->get_attribute(attr, value);
        auto& r = Registry::get();
        std::lock_guard<std::mutex> g(r.mutex);
        if (r.rms.count(obj) || r.lists.count(obj))
            return visa::library_attribute(attr, value) ? VI_SUCCESS : VI_ERROR_NSUP_ATTR;
        return VI_ERROR_INV_OBJECT;
    });
}

ViStatus _VI_FUNC viSetAttribute(ViObject obj, ViAttr attr, ViAttrState value) {
    return guarded("viSetAttribute", [&]() -> ViStatus {
        if (auto s = visa::find_session(obj)) return s->set_attribute(attr, value);
        auto& r = Registry::get();
        std::lock_guard<std::mutex> g(r.mutex);
        if (r.rms.count(obj) || r.lists.count(obj))
            return visa::is_library_attribute(attr) ? VI_ERROR_ATTR_READONLY : VI_ERROR_NSUP_ATTR;
        return VI_ERROR_INV_OBJECT;
    });
}

ViStatus _VI_FUNC viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
    return guarded("viRead", [&]() -> ViStatus {
        if (ret_count != nullptr) *ret_count = 0;
        auto s = visa::find_session(vi);
        if (!s) return VI_ERROR_INV_OBJECT;
        if (buf == nullptr && count > 0) return VI_ERROR_INV_PARAMETER;
        return s->read(buf, count, ret_count);
    });
}

ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
    return guarded("viWrite", [&]() -> ViStatus {
        if (ret_count != nullptr) *ret_count = 0;
        auto s = visa::find_session(vi);
        if (!s) return VI_ERROR_INV_OBJECT;
        if (buf == nullptr && count > 0) return VI_ERROR_INV_PARAMETER;
        return s->write(buf, count, ret_count);
    });
}

ViStatus _VI_FUNC viAssertTrigger(ViSession vi, ViUInt16 protocol) {
    return guarded("viAssertTrigger", [&]() -> ViStatus {
        auto s = visa::find_session(vi);
        if (!s) return VI_ERROR_INV_OBJECT;
        if (protocol != VI_TRIG_PROT_DEFAULT) return VI_ERROR_INV_PROT;
        return s->assert_trigger();
    });
}

ViStatus _VI_FUNC viFlush(ViSession vi, ViUInt16 mask) {
    return guarded("viFlush", [&]() -> ViStatus {
        if (!visa::find_session(vi)) return VI_ERROR_INV_OBJECT;
        if (mask == 0 || (mask & ~ViUInt16(0xFF)) != 0) return VI_ERROR_INV_MASK;
        // There are no formatted I/O buffers, and a write returns only once
        // its bytes are sent, so those buffers are always empty. Discarding
        // bytes a transport has received but not handed out is not offered.
        if (mask & VI_IO_IN_BUF_DISCARD) return VI_ERROR_NSUP_OPER;
        return VI_SUCCESS;
    });
}

// No resource of this library has events. The calls check their session and
// answer as for an event type the resource does not support; asking about
// "all enabled events" finds none.
ViStatus _VI_FUNC viEnableEvent(ViSession vi, ViEventType /*event_type*/, ViUInt16 /*mechanism*/,
                                ViEventFilter /*context*/) {
    return visa::for_session("viEnableEvent", vi, VI_ERROR_INV_EVENT);
}

ViStatus _VI_FUNC viDisableEvent(ViSession vi, ViEventType event_type, ViUInt16 /*mechanism*/) {
    return visa::for_session(
        "viDisableEvent", vi,
        event_type == VI_ALL_ENABLED_EVENTS ? VI_SUCCESS_EVENT_DIS : VI_ERROR_INV_EVENT);
}

ViStatus _VI_FUNC viDiscardEvents(ViSession vi, ViEventType event_type, ViUInt16 /*mechanism*/) {
    return visa::for_session(
        "viDiscardEvents", vi,
        event_type == VI_ALL_ENABLED_EVENTS ? VI_SUCCESS_QUEUE_EMPTY : VI_ERROR_INV_EVENT);
}

ViStatus _VI_FUNC viWaitOnEvent(ViSession vi, ViEventType in_event_type, ViUInt32 /*timeout*/,
                                ViPEventType out_event_type, ViPEvent out_context) {
    if (out_event_type != nullptr) *out_event_type = 0;
    if (out_context != nullptr) *out_context = VI_NULL;
    return visa::for_session(
        "viWaitOnEvent", vi,
        in_event_type == VI_ALL_ENABLED_EVENTS ? VI_ERROR_NENABLED : VI_ERROR_INV_EVENT);
}

ViStatus _VI_FUNC viInstallHandler(ViSession vi, ViEventType /*event_type*/, ViHndlr /*handler*/,
                                   ViAddr /*user_handle*/) {
    return visa::for_session("viInstallHandler", vi, VI_ERROR_INV_EVENT);
}

ViStatus _VI_FUNC viUninstallHandler(ViSession vi, ViEventType /*event_type*/, ViHndlr /*handler*/,
                                     ViAddr /*user_handle*/) {
    return visa::for_session("viUninstallHandler", vi, VI_ERROR_INV_EVENT);
}

// There are no asynchronous operations to end.
ViStatus _VI_FUNC viTerminate(ViSession vi, ViUInt16 /*degree*/, ViJobId /*job_id*/) {
    return visa::for_session("viTerminate", vi, VI_ERROR_NSUP_OPER);
}

ViStatus _VI_FUNC viLock(ViSession vi, ViAccessMode lock_type, ViUInt32 timeout,
                         ViConstKeyId requested_key, ViChar access_key[]) {
    return guarded("viLock", [&]() -> ViStatus {
        auto s = visa::find_session(vi);
        if (!s) return VI_ERROR_INV_OBJECT;
        return s->lock(lock_type, timeout, requested_key, access_key);
    });
}

ViStatus _VI_FUNC viUnlock(ViSession vi) {
    return guarded("viUnlock", [&]() -> ViStatus {
        auto s = visa::find_session(vi);
        if (!s) return VI_ERROR_INV_OBJECT;
        return s->unlock();
    });
}

ViStatus _VI_FUNC viClear(ViSession vi) {
    return guarded("viClear", [&]() -> ViStatus {
        auto s = visa::find_session(vi);
        if (!s) return VI_ERROR_INV_OBJECT;
        return s->clear();
    });
}

ViStatus _VI_FUNC viReadSTB(ViSession vi, ViPUInt16 status) {
    return guarded("viReadSTB", [&]() -> ViStatus {
        auto s = visa::find_session(vi);
        if (!s) return VI_ERROR_INV_OBJECT;
        if (status == nullptr) return VI_ERROR_INV_PARAMETER;
        return s->read_stb(status);
    });
}

}  // extern "C"

// ---- fwvisa_ext.h ------------------------------------------------------------

namespace visa {
namespace {

fwvisa_status search_lan(fwvisa_search* search, fwvisa_found_fn each, void* user) {
    uint32_t window = search->window_ms;
    if (window == 0) {
        bool found_file = false;
        window = read_discovery_config(discovery_config_path(), &found_file).discover_window_ms;
    }
    window = std::clamp(window, lan::min_window_ms, lan::max_window_ms);
    const std::vector<lan::Destination> destinations = lan::broadcast_destinations();
    lan::LanSearch result = lan::search_lan(destinations, window);
    lan::keep_lan_search(result.found);
    search->found = 0;
    search->destinations = uint32_t(destinations.size());
    std::snprintf(search->mdns_skipped, sizeof search->mdns_skipped, "%s",
                  result.mdns_skipped.c_str());
    for (const lan::Found& f : result.found) {
        fwvisa_found one{};
        one.size = sizeof one;
        std::snprintf(one.resource, sizeof one.resource, "%s", f.resource.c_str());
        std::snprintf(one.address, sizeof one.address, "%s", f.address.c_str());
        std::snprintf(one.how, sizeof one.how, "%s", f.how.c_str());
        if (each != nullptr) each(&one, user);
        ++search->found;
    }
    return FWVISA_OK;
}

// The extension's calls answer FWVISA_E_SYSTEM where a VISA call would
// answer a system error: nothing thrown leaves the library.
template <class F>
fwvisa_status ext_guarded(const char* what, F&& f) {
    const ViStatus st = guarded(what, [&]() -> ViStatus { return f(); });
    return st == VI_ERROR_ALLOC || st == VI_ERROR_SYSTEM_ERROR ? FWVISA_E_SYSTEM : st;
}

}  // namespace
}  // namespace visa

extern "C" {

fwvisa_status _VI_FUNC fwvisa_last_failure(ViSession vi, fwvisa_failure* out) {
    return visa::ext_guarded("fwvisa_last_failure", [&] {
        if (vi == VI_NULL) return visa::ext::fill_failure(visa::last_failure(), out);
        auto s = visa::find_session(vi);
        if (!s) return fwvisa_status(FWVISA_E_ARGUMENT);
        return visa::ext::fill_failure(s->last_failure(), out);
    });
}

fwvisa_status _VI_FUNC fwvisa_parse_resource(const char* resource, fwvisa_resource* out) {
    return visa::ext_guarded("fwvisa_parse_resource",
                             [&] { return visa::ext::fill_resource(resource, out); });
}

fwvisa_status _VI_FUNC fwvisa_instrument_key(const char* resource, char* key, size_t key_size) {
    return visa::ext_guarded("fwvisa_instrument_key", [&] {
        return visa::ext::fill_instrument_key(resource, key, key_size);
    });
}

fwvisa_status _VI_FUNC fwvisa_search_lan(fwvisa_search* search, fwvisa_found_fn each, void* user) {
    if (search == nullptr || search->size < sizeof(fwvisa_search)) return FWVISA_E_ARGUMENT;
    return visa::ext_guarded("fwvisa_search_lan",
                             [&] { return visa::search_lan(search, each, user); });
}

fwvisa_status _VI_FUNC fwvisa_set_log_callback(fwvisa_log_fn fn, void* user, int32_t least) {
    if (least < FWVISA_LOG_ERROR || least > FWVISA_LOG_DEBUG) return FWVISA_E_ARGUMENT;
    visa::set_log_callback(fn, user, visa::Level(least));
    return FWVISA_OK;
}

fwvisa_status _VI_FUNC fwvisa_ext_version(void) {
    return FWVISA_EXT_VERSION;
}

// In a program, the loader answers this; here the library answers for itself.
fwvisa_status _VI_FUNC fwvisa_library_in_use(fwvisa_library* out) {
    if (out == nullptr || out->size < sizeof(fwvisa_library)) return FWVISA_E_ARGUMENT;
    const uint32_t size = out->size;
    std::memset(out, 0, size);
    out->size = size;
    out->builtin = 1;
    out->usable = 1;
    std::snprintf(out->source, sizeof out->source, "%s", "default");
    return FWVISA_OK;
}

}  // extern "C"
