// The VISA C API (VPP-4.3) subset this program is written against.
//
// Names and numbers are the standard's. The engine calls these as plain C
// functions; the program links the built-in library in visa/ (or loads
// another implementation through it), and the engine's unit tests link a
// scripted double instead. Installed with libfwvisa.so as <fwvisa/visa.h>.
#pragma once

// A header C programs include too: typedefs and the standard's reserved-looking
// names (_VI_FUNC) are what C and the standard need.
// NOLINTBEGIN(modernize-use-using, bugprone-reserved-identifier)

#include <stdint.h>

#if defined(_WIN32)
#define _VI_FUNC __stdcall
#define _VI_FUNCH __stdcall
#else
#define _VI_FUNC
#define _VI_FUNCH
#endif

// Fixed-width on every data model: the standard makes these unsigned long on
// ILP32 and unsigned int on LP64, which in both cases is 32 bits.
typedef uint32_t ViUInt32;
typedef int32_t ViInt32;
typedef uint16_t ViUInt16;
typedef int16_t ViInt16;
typedef uint8_t ViUInt8;
typedef int8_t ViInt8;
typedef char ViChar;
typedef unsigned char ViByte;
typedef uint64_t ViUInt64;
typedef int64_t ViInt64;

typedef ViUInt16 ViBoolean;
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject ViSession;
typedef ViObject ViFindList;
typedef ViUInt32 ViAttr;
typedef ViUInt32 ViAccessMode;
typedef ViUInt32 ViVersion;
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef ViUInt64 ViAttrState;
#else
typedef ViUInt32 ViAttrState;
#endif

typedef ViChar* ViString;
typedef const ViChar* ViConstString;
typedef ViString ViRsrc;
typedef ViConstString ViConstRsrc;
typedef ViString ViKeyId;
typedef ViConstString ViConstKeyId;
typedef ViByte* ViBuf;
typedef const ViByte* ViConstBuf;
typedef ViByte* ViPBuf;

typedef ViSession* ViPSession;
typedef ViFindList* ViPFindList;
typedef ViUInt32* ViPUInt32;
typedef ViUInt16* ViPUInt16;
typedef ViStatus* ViPStatus;
typedef void* ViAddr;
typedef ViAddr* ViPAddr;
typedef ViUInt32 ViEventType;
typedef ViEventType* ViPEventType;
typedef ViObject ViEvent;
typedef ViEvent* ViPEvent;
typedef ViUInt32 ViEventFilter;
typedef ViUInt32 ViJobId;
typedef ViStatus(_VI_FUNCH* ViHndlr)(ViSession vi, ViEventType event_type, ViEvent event,
                                     ViAddr user_handle);

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0

#define VI_FIND_BUFLEN 256

// Completion codes.
#define VI_SUCCESS 0
#define VI_SUCCESS_EVENT_DIS 0x3FFF0003
#define VI_SUCCESS_QUEUE_EMPTY 0x3FFF0004
#define VI_SUCCESS_TERM_CHAR 0x3FFF0005
#define VI_SUCCESS_MAX_CNT 0x3FFF0006
#define VI_SUCCESS_DEV_NPRESENT 0x3FFF007D
#define VI_SUCCESS_NESTED_SHARED 0x3FFF0099
#define VI_SUCCESS_NESTED_EXCLUSIVE 0x3FFF009A

// Warnings.
#define VI_WARN_CONFIG_NLOADED 0x3FFF0077
#define VI_WARN_NULL_OBJECT 0x3FFF0082
#define VI_WARN_NSUP_ATTR_STATE 0x3FFF0084
#define VI_WARN_UNKNOWN_STATUS 0x3FFF0085

// Errors: negative as ViStatus, so written through a cast.
#define VI_ERROR_CODE_(x) ((ViStatus)(x))
#define VI_ERROR_SYSTEM_ERROR VI_ERROR_CODE_(0xBFFF0000u)
#define VI_ERROR_INV_OBJECT VI_ERROR_CODE_(0xBFFF000Eu)
#define VI_ERROR_INV_SESSION VI_ERROR_INV_OBJECT
#define VI_ERROR_RSRC_LOCKED VI_ERROR_CODE_(0xBFFF000Fu)
#define VI_ERROR_INV_EXPR VI_ERROR_CODE_(0xBFFF0010u)
#define VI_ERROR_RSRC_NFOUND VI_ERROR_CODE_(0xBFFF0011u)
#define VI_ERROR_INV_RSRC_NAME VI_ERROR_CODE_(0xBFFF0012u)
#define VI_ERROR_INV_ACC_MODE VI_ERROR_CODE_(0xBFFF0013u)
#define VI_ERROR_TMO VI_ERROR_CODE_(0xBFFF0015u)
#define VI_ERROR_CLOSING_FAILED VI_ERROR_CODE_(0xBFFF0016u)
#define VI_ERROR_NSUP_ATTR VI_ERROR_CODE_(0xBFFF001Du)
#define VI_ERROR_NSUP_ATTR_STATE VI_ERROR_CODE_(0xBFFF001Eu)
#define VI_ERROR_ATTR_READONLY VI_ERROR_CODE_(0xBFFF001Fu)
#define VI_ERROR_INV_LOCK_TYPE VI_ERROR_CODE_(0xBFFF0020u)
#define VI_ERROR_INV_ACCESS_KEY VI_ERROR_CODE_(0xBFFF0021u)
#define VI_ERROR_ABORT VI_ERROR_CODE_(0xBFFF0030u)
#define VI_ERROR_INV_SETUP VI_ERROR_CODE_(0xBFFF003Au)
#define VI_ERROR_ALLOC VI_ERROR_CODE_(0xBFFF003Cu)
#define VI_ERROR_IO VI_ERROR_CODE_(0xBFFF003Eu)
#define VI_ERROR_NSUP_OPER VI_ERROR_CODE_(0xBFFF0067u)
#define VI_ERROR_RSRC_BUSY VI_ERROR_CODE_(0xBFFF0072u)
#define VI_ERROR_INV_PARAMETER VI_ERROR_CODE_(0xBFFF0078u)
#define VI_ERROR_NIMPL_OPER VI_ERROR_CODE_(0xBFFF0081u)
#define VI_ERROR_SESN_NLOCKED VI_ERROR_CODE_(0xBFFF009Cu)
#define VI_ERROR_CONN_LOST VI_ERROR_CODE_(0xBFFF00A6u)
#define VI_ERROR_INV_EVENT VI_ERROR_CODE_(0xBFFF0026u)
#define VI_ERROR_NENABLED VI_ERROR_CODE_(0xBFFF002Fu)
#define VI_ERROR_INV_MASK VI_ERROR_CODE_(0xBFFF003Du)
#define VI_ERROR_INV_PROT VI_ERROR_CODE_(0xBFFF0079u)
#define VI_ERROR_LIBRARY_NFOUND VI_ERROR_CODE_(0xBFFF009Eu)

// Attributes. Ids of the form 0xBFFFxxxx are string-valued.
#define VI_ATTR_RSRC_CLASS 0xBFFF0001u
#define VI_ATTR_RSRC_NAME 0xBFFF0002u
#define VI_ATTR_RSRC_LOCK_STATE 0x3FFF0004u
#define VI_ATTR_SEND_END_EN 0x3FFF0016u
#define VI_ATTR_TERMCHAR 0x3FFF0018u
#define VI_ATTR_TMO_VALUE 0x3FFF001Au
#define VI_ATTR_SUPPRESS_END_EN 0x3FFF0036u
#define VI_ATTR_TERMCHAR_EN 0x3FFF0038u
#define VI_ATTR_MANF_NAME 0xBFFF0072u
#define VI_ATTR_MODEL_NAME 0xBFFF0077u
#define VI_ATTR_MANF_ID 0x3FFF00D9u
#define VI_ATTR_MODEL_CODE 0x3FFF00DFu
#define VI_ATTR_INTF_TYPE 0x3FFF0171u
#define VI_ATTR_INTF_NUM 0x3FFF0176u
#define VI_ATTR_TCPIP_ADDR 0xBFFF0195u
#define VI_ATTR_TCPIP_PORT 0x3FFF0197u
#define VI_ATTR_TCPIP_DEVICE_NAME 0xBFFF0199u
#define VI_ATTR_4882_COMPLIANT 0x3FFF019Fu
#define VI_ATTR_USB_SERIAL_NUM 0xBFFF01A0u
#define VI_ATTR_USB_INTFC_NUM 0x3FFF01A1u
#define VI_ATTR_USB_PROTOCOL 0x3FFF01A7u
#define VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB 0x3FFF0302u
#define VI_ATTR_TCPIP_IS_HISLIP 0x3FFF0303u
// Who made the library answering, and which version of it.
#define VI_ATTR_RSRC_IMPL_VERSION 0x3FFF0003u
#define VI_ATTR_RSRC_SPEC_VERSION 0x3FFF0170u
#define VI_ATTR_RSRC_MANF_NAME 0xBFFF0174u
#define VI_ATTR_RSRC_MANF_ID 0x3FFF0175u
#define VI_ATTR_USER_DATA_32 0x3FFF0007u
#define VI_ATTR_USER_DATA_64 0x3FFF000Au
#define VI_ATTR_IO_PROT 0x3FFF001Cu

// Interface types (VI_ATTR_INTF_TYPE).
#define VI_INTF_GPIB 1
#define VI_INTF_VXI 2
#define VI_INTF_GPIB_VXI 3
#define VI_INTF_ASRL 4
#define VI_INTF_PXI 5
#define VI_INTF_TCPIP 6
#define VI_INTF_USB 7
#define VI_INTF_RIO 8
#define VI_INTF_FIREWIRE 9

// Access modes and lock types.
#define VI_NO_LOCK 0
#define VI_EXCLUSIVE_LOCK 1
#define VI_SHARED_LOCK 2
#define VI_LOAD_CONFIG 4

// Events, trigger and buffer masks.
#define VI_EVENT_SERVICE_REQ 0x3FFF200Bu
#define VI_ALL_ENABLED_EVENTS 0x3FFF7FFFu
#define VI_QUEUE 1
#define VI_HNDLR 2
#define VI_SUSPEND_HNDLR 4
#define VI_ALL_MECH 0xFFFF
#define VI_TRIG_PROT_DEFAULT 0
#define VI_PROT_NORMAL 1
#define VI_READ_BUF 1
#define VI_WRITE_BUF 2
#define VI_READ_BUF_DISCARD 4
#define VI_WRITE_BUF_DISCARD 8
#define VI_IO_IN_BUF 16
#define VI_IO_OUT_BUF 32
#define VI_IO_IN_BUF_DISCARD 64
#define VI_IO_OUT_BUF_DISCARD 128

#define VI_TMO_IMMEDIATE 0u
#define VI_TMO_INFINITE 0xFFFFFFFFu

// The library exports these whatever visibility the rest of its code is
// built with.
#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(default)
#endif

#ifdef __cplusplus
extern "C" {
#endif

ViStatus _VI_FUNC viOpenDefaultRM(ViPSession rm);
ViStatus _VI_FUNC viFindRsrc(ViSession rm, ViConstString expr, ViPFindList fl, ViPUInt32 count,
                             ViChar first[]);
ViStatus _VI_FUNC viFindNext(ViFindList fl, ViChar next[]);
ViStatus _VI_FUNC viOpen(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 open_timeout,
                         ViPSession vi);
ViStatus _VI_FUNC viClose(ViObject obj);
ViStatus _VI_FUNC viStatusDesc(ViObject obj, ViStatus status, ViChar desc[]);
ViStatus _VI_FUNC viGetAttribute(ViObject obj, ViAttr attr, void* value);
ViStatus _VI_FUNC viSetAttribute(ViObject obj, ViAttr attr, ViAttrState value);
ViStatus _VI_FUNC viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count);
ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count);
ViStatus _VI_FUNC viLock(ViSession vi, ViAccessMode lock_type, ViUInt32 timeout,
                         ViConstKeyId requested_key, ViChar access_key[]);
ViStatus _VI_FUNC viUnlock(ViSession vi);
ViStatus _VI_FUNC viClear(ViSession vi);
ViStatus _VI_FUNC viReadSTB(ViSession vi, ViPUInt16 status);

#ifdef __cplusplus
}
#endif

// The rest of what a general client calls: resource names, triggers,
// buffers and events. The built-in library supports no events; these calls
// answer as for a resource that has none.
#ifdef __cplusplus
extern "C" {
#endif

ViStatus _VI_FUNC viParseRsrc(ViSession rm, ViConstRsrc name, ViPUInt16 intf_type,
                              ViPUInt16 intf_num);
ViStatus _VI_FUNC viParseRsrcEx(ViSession rm, ViConstRsrc name, ViPUInt16 intf_type,
                                ViPUInt16 intf_num, ViChar rsrc_class[], ViChar expanded_name[],
                                ViChar alias[]);
ViStatus _VI_FUNC viAssertTrigger(ViSession vi, ViUInt16 protocol);
ViStatus _VI_FUNC viFlush(ViSession vi, ViUInt16 mask);
ViStatus _VI_FUNC viEnableEvent(ViSession vi, ViEventType event_type, ViUInt16 mechanism,
                                ViEventFilter context);
ViStatus _VI_FUNC viDisableEvent(ViSession vi, ViEventType event_type, ViUInt16 mechanism);
ViStatus _VI_FUNC viDiscardEvents(ViSession vi, ViEventType event_type, ViUInt16 mechanism);
ViStatus _VI_FUNC viWaitOnEvent(ViSession vi, ViEventType in_event_type, ViUInt32 timeout,
                                ViPEventType out_event_type, ViPEvent out_context);
ViStatus _VI_FUNC viInstallHandler(ViSession vi, ViEventType event_type, ViHndlr handler,
                                   ViAddr user_handle);
ViStatus _VI_FUNC viUninstallHandler(ViSession vi, ViEventType event_type, ViHndlr handler,
                                     ViAddr user_handle);
ViStatus _VI_FUNC viTerminate(ViSession vi, ViUInt16 degree, ViJobId job_id);

#ifdef __cplusplus
}
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif
// NOLINTEND(modernize-use-using, bugprone-reserved-identifier)
