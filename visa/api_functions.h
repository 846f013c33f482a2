// Every VISA function the library exports, once: name, whether the program
// cannot work without it, parameter list and argument list. The loader builds
// its function table and forwarders from this list; a test holds the shared
// library's exports and the built-in names against it.
#pragma once

#include "fwvisa_ext.h"
#include "visa.h"

// X(name, required, (parameters), (arguments))
#define FWVISA_FUNCTIONS(X)                                                                      \
    X(viOpenDefaultRM, true, (ViPSession rm), (rm))                                              \
    X(viFindRsrc, true,                                                                          \
      (ViSession rm, ViConstString expr, ViPFindList fl, ViPUInt32 count, ViChar first[]),       \
      (rm, expr, fl, count, first))                                                              \
    X(viFindNext, true, (ViFindList fl, ViChar next[]), (fl, next))                              \
    X(viParseRsrc, false,                                                                        \
      (ViSession rm, ViConstRsrc name, ViPUInt16 intf_type, ViPUInt16 intf_num),                 \
      (rm, name, intf_type, intf_num))                                                           \
    X(viParseRsrcEx, false,                                                                      \
      (ViSession rm, ViConstRsrc name, ViPUInt16 intf_type, ViPUInt16 intf_num,                  \
       ViChar rsrc_class[], ViChar expanded_name[], ViChar alias[]),                             \
      (rm, name, intf_type, intf_num, rsrc_class, expanded_name, alias))                         \
    X(viOpen, true,                                                                              \
      (ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 open_timeout, ViPSession vi), \
      (rm, name, mode, open_timeout, vi))                                                        \
    X(viClose, true, (ViObject obj), (obj))                                                      \
    X(viStatusDesc, true, (ViObject obj, ViStatus status, ViChar desc[]), (obj, status, desc))   \
    X(viGetAttribute, true, (ViObject obj, ViAttr attr, void* value), (obj, attr, value))        \
    X(viSetAttribute, true, (ViObject obj, ViAttr attr, ViAttrState value), (obj, attr, value))  \
    X(viRead, true, (ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count),             \
      (vi, buf, count, ret_count))                                                               \
    X(viWrite, true, (ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count),        \
      (vi, buf, count, ret_count))                                                               \
    X(viReadSTB, false, (ViSession vi, ViPUInt16 status), (vi, status))                          \
    X(viClear, false, (ViSession vi), (vi))                                                      \
    X(viAssertTrigger, false, (ViSession vi, ViUInt16 protocol), (vi, protocol))                 \
    X(viFlush, false, (ViSession vi, ViUInt16 mask), (vi, mask))                                 \
    X(viLock, true,                                                                              \
      (ViSession vi, ViAccessMode lock_type, ViUInt32 timeout, ViConstKeyId requested_key,       \
       ViChar access_key[]),                                                                     \
      (vi, lock_type, timeout, requested_key, access_key))                                       \
    X(viUnlock, true, (ViSession vi), (vi))                                                      \
    X(viEnableEvent, false,                                                                      \
      (ViSession vi, ViEventType event_type, ViUInt16 mechanism, ViEventFilter context),         \
      (vi, event_type, mechanism, context))                                                      \
    X(viDisableEvent, false, (ViSession vi, ViEventType event_type, ViUInt16 mechanism),         \
      (vi, event_type, mechanism))                                                               \
    X(viDiscardEvents, false, (ViSession vi, ViEventType event_type, ViUInt16 mechanism),        \
      (vi, event_type, mechanism))                                                               \
    X(viWaitOnEvent, false,                                                                      \
      (ViSession vi, ViEventType in_event_type, ViUInt32 timeout, ViPEventType out_event_type,   \
       ViPEvent out_context),                                                                    \
      (vi, in_event_type, timeout, out_event_type, out_context))                                 \
    X(viInstallHandler, false,                                                                   \
      (ViSession vi, ViEventType event_type, ViHndlr handler, ViAddr user_handle),               \
      (vi, event_type, handler, user_handle))                                                    \
    X(viUninstallHandler, false,                                                                 \
      (ViSession vi, ViEventType event_type, ViHndlr handler, ViAddr user_handle),               \
      (vi, event_type, handler, user_handle))                                                    \
    X(viTerminate, false, (ViSession vi, ViUInt16 degree, ViJobId job_id), (vi, degree, job_id))

// The extension's functions (fwvisa_ext.h), which a loaded library may lack:
// the program then answers FWVISA_E_UNSUPPORTED for it.
// X(name, (parameters), (arguments))
#define FWVISA_EXT_FUNCTIONS(X)                                                                  \
    X(fwvisa_last_failure, (ViSession vi, fwvisa_failure * out), (vi, out))                      \
    X(fwvisa_parse_resource, (const char* resource, fwvisa_resource* out), (resource, out))      \
    X(fwvisa_instrument_key, (const char* resource, char* key, size_t key_size),                 \
      (resource, key, key_size))                                                                 \
    X(fwvisa_search_lan, (fwvisa_search * search, fwvisa_found_fn each, void* user),             \
      (search, each, user))                                                                      \
    X(fwvisa_set_log_callback, (fwvisa_log_fn fn, void* user, int32_t least), (fn, user, least)) \
    X(fwvisa_ext_version, (void), ())
