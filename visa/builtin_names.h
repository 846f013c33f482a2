// Forced into the built-in copy of visa_api.cpp that programs link beside the
// loader: the loader owns the standard names there and forwards to these.
// One line per function in api_functions.h (a test checks that none is left
// under its standard name).
#pragma once

#define viOpenDefaultRM fwvisa_builtin_viOpenDefaultRM
#define viFindRsrc fwvisa_builtin_viFindRsrc
#define viFindNext fwvisa_builtin_viFindNext
#define viParseRsrc fwvisa_builtin_viParseRsrc
#define viParseRsrcEx fwvisa_builtin_viParseRsrcEx
#define viOpen fwvisa_builtin_viOpen
#define viClose fwvisa_builtin_viClose
#define viStatusDesc fwvisa_builtin_viStatusDesc
#define viGetAttribute fwvisa_builtin_viGetAttribute
#define viSetAttribute fwvisa_builtin_viSetAttribute
#define viRead fwvisa_builtin_viRead
#define viWrite fwvisa_builtin_viWrite
#define viReadSTB fwvisa_builtin_viReadSTB
#define viClear fwvisa_builtin_viClear
#define viAssertTrigger fwvisa_builtin_viAssertTrigger
#define viFlush fwvisa_builtin_viFlush
#define viLock fwvisa_builtin_viLock
#define viUnlock fwvisa_builtin_viUnlock
#define viEnableEvent fwvisa_builtin_viEnableEvent
#define viDisableEvent fwvisa_builtin_viDisableEvent
#define viDiscardEvents fwvisa_builtin_viDiscardEvents
#define viWaitOnEvent fwvisa_builtin_viWaitOnEvent
#define viInstallHandler fwvisa_builtin_viInstallHandler
#define viUninstallHandler fwvisa_builtin_viUninstallHandler
#define viTerminate fwvisa_builtin_viTerminate
// The extension (FWVISA_EXT_FUNCTIONS), and the library's own answer to
// fwvisa_library_in_use, which the loader gives in a program.
#define fwvisa_last_failure fwvisa_builtin_fwvisa_last_failure
#define fwvisa_parse_resource fwvisa_builtin_fwvisa_parse_resource
#define fwvisa_instrument_key fwvisa_builtin_fwvisa_instrument_key
#define fwvisa_search_lan fwvisa_builtin_fwvisa_search_lan
#define fwvisa_set_log_callback fwvisa_builtin_fwvisa_set_log_callback
#define fwvisa_ext_version fwvisa_builtin_fwvisa_ext_version
#define fwvisa_library_in_use fwvisa_builtin_fwvisa_library_in_use
