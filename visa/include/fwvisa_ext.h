/* What libfwvisa tells beyond the standard VISA functions, as values: why a
 * connection failed, how it reads a resource string, which instrument a
 * resource names, what answers a LAN search, and its log lines.
 *
 * A program that loads another VISA implementation looks these up by name
 * (dlsym) and goes on without them when they are missing. Every struct
 * starts with `size`, which the caller sets to sizeof the struct it was
 * compiled with: the library fills what both know, so either side may be
 * newer. Installed with libfwvisa.so as <fwvisa/fwvisa_ext.h>. */
#ifndef FWVISA_EXT_H
#define FWVISA_EXT_H

/* A C header: typedefs are what C needs. */
/* NOLINTBEGIN(modernize-use-using) */

#include <stddef.h>
#include <stdint.h>

#include "visa.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Exported whatever visibility the rest of the library's code is built with. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* The version of these declarations; fwvisa_ext_version() gives the
 * library's. */
#define FWVISA_EXT_VERSION 1

/* What every function returns. */
typedef int32_t fwvisa_status;
#define FWVISA_OK 0
#define FWVISA_NOTHING 1           /* nothing to report (no failure recorded) */
#define FWVISA_E_ARGUMENT (-1)     /* a null pointer, or `size` below version 1's */
#define FWVISA_E_NOT_RESOURCE (-2) /* not a resource string this library can read */
#define FWVISA_E_UNSUPPORTED (-3)  /* the VISA library in use does not offer this */
#define FWVISA_E_SYSTEM (-4)       /* the operating system refused (sockets, threads) */

/* ---- why a connection failed ------------------------------------------ */

/* Where the attempt stopped. */
#define FWVISA_STAGE_NONE 0
#define FWVISA_STAGE_RESOLVE 1    /* looking the host name up */
#define FWVISA_STAGE_CONNECT 2    /* the TCP connection to the instrument's service */
#define FWVISA_STAGE_PORTMAPPER 3 /* VXI-11: asking the portmapper for the core's port */
#define FWVISA_STAGE_LINK 4       /* VXI-11: create_link */
#define FWVISA_STAGE_HANDSHAKE 5  /* HiSLIP: the Initialize exchange */
#define FWVISA_STAGE_LOCK 6       /* the instrument's lock */
#define FWVISA_STAGE_DEVICE 7     /* a local device (USB, serial) */
#define FWVISA_STAGE_IO 8         /* an open session's link, while reading or writing */

/* What happened there. */
#define FWVISA_CAUSE_OTHER 0
#define FWVISA_CAUSE_REFUSED 1     /* nothing listens: connection refused */
#define FWVISA_CAUSE_TIMED_OUT 2   /* no answer in time */
#define FWVISA_CAUSE_UNREACHABLE 3 /* no route to the host */
#define FWVISA_CAUSE_NOT_FOUND 4   /* no such host, service, device or transport */
#define FWVISA_CAUSE_MALFORMED 5   /* the peer's answer could not be read */
#define FWVISA_CAUSE_REJECTED 6    /* the peer answered no */
#define FWVISA_CAUSE_HELD 7        /* someone else holds it */
#define FWVISA_CAUSE_LOST 8        /* the connection ended */

typedef struct fwvisa_failure {
    uint32_t size;       /* set by the caller: sizeof(fwvisa_failure) */
    ViStatus status;     /* what the failed call returned */
    int32_t stage;       /* FWVISA_STAGE_* */
    int32_t cause;       /* FWVISA_CAUSE_* */
    int32_t sys_errno;   /* the system's error number, 0 when none */
    uint32_t elapsed_ms; /* from the start of the call to the failure */
    uint16_t port;       /* 0 when not on a network */
    /* The host name as written, or the address connected to; "" when not
     * on a network. */
    char host[256];
    /* Lock refusals: who holds it ("user (uid N), pid P") and since when
     * (UTC, "2026-01-31T12:00:00Z"), each "" when not known. */
    char holder[160];
    char since[32];
    char text[512]; /* the library's sentence, as viStatusDesc adds it */
} fwvisa_failure;

/* The last connection failure of session `vi` (its link broke), or with
 * VI_NULL of this thread (an open, or any session's call). FWVISA_NOTHING
 * when none was recorded since the thread's last open began. */
fwvisa_status _VI_FUNC fwvisa_last_failure(ViSession vi, fwvisa_failure* out);

/* ---- resource strings ------------------------------------------------- */

/* Which protocol a resource string selects. */
#define FWVISA_PROTOCOL_VXI11 1
#define FWVISA_PROTOCOL_HISLIP 2
#define FWVISA_PROTOCOL_SOCKET 3 /* raw SCPI over TCP */
#define FWVISA_PROTOCOL_USBTMC 4
#define FWVISA_PROTOCOL_SERIAL 5

typedef struct fwvisa_resource {
    uint32_t size;       /* set by the caller: sizeof(fwvisa_resource) */
    int32_t protocol;    /* FWVISA_PROTOCOL_* */
    ViUInt16 intf_type;  /* VI_INTF_TCPIP, VI_INTF_USB, VI_INTF_ASRL */
    ViUInt16 board;      /* the interface number */
    uint16_t port;       /* SOCKET, or HiSLIP ",port"; 0 when none is written */
    uint16_t usb_vendor; /* USB: vendor and product ids */
    uint16_t usb_model;
    int16_t usb_interface;  /* USB: -1 when not written */
    char interface_name[8]; /* "TCPIP", "USB", "ASRL" */
    char host[256];         /* TCPIP: lower-cased */
    char device_name[64];   /* "inst0", "hislip0", "gpib0,5"; "" when none */
    char usb_serial[128];
    char rsrc_class[16]; /* "INSTR", "SOCKET" */
    char canonical[512]; /* the one spelling this library writes */
} fwvisa_resource;

/* Takes `resource` apart. FWVISA_E_NOT_RESOURCE when it is malformed; the
 * same when one of its parts does not fit the struct. */
fwvisa_status _VI_FUNC fwvisa_parse_resource(const char* resource, fwvisa_resource* out);

/* The name every resource string of one instrument shares (host address for
 * LAN resources, vendor, product and serial for USB, ...), as locks know it;
 * written to `key` (at most `key_size` bytes with the terminator).
 * FWVISA_E_ARGUMENT when it does not fit. Resolves host names. */
fwvisa_status _VI_FUNC fwvisa_instrument_key(const char* resource, char* key, size_t key_size);

/* ---- LAN search ------------------------------------------------------- */

typedef struct fwvisa_found {
    uint32_t size;      /* sizeof(fwvisa_found) of the library */
    char resource[512]; /* canonical resource string */
    char address[48];   /* dotted IPv4 address it answered from */
    char how[128];      /* how it was found ("VXI-11 broadcast, mDNS _hislip._tcp") */
} fwvisa_found;

typedef void(_VI_FUNCH* fwvisa_found_fn)(const fwvisa_found* found, void* user);

typedef struct fwvisa_search {
    uint32_t size;          /* set by the caller: sizeof(fwvisa_search) */
    uint32_t window_ms;     /* in: how long to collect answers; 0: visa.conf's window */
    uint32_t found;         /* out: how many were handed to the callback */
    uint32_t destinations;  /* out: broadcast destinations; 0 means no network was searched */
    char mdns_skipped[256]; /* out: why mDNS was not asked; "" when it was */
} fwvisa_search;

/* Searches the local networks (VXI-11 broadcast and mDNS) for `window_ms`
 * and calls `each` once per instrument, in order of address, before it
 * returns. The library's own find (visa.conf's "discover = lan") reuses the
 * result of a search made in the last 30 s, this one included. */
fwvisa_status _VI_FUNC fwvisa_search_lan(fwvisa_search* search, fwvisa_found_fn each, void* user);

/* ---- log lines -------------------------------------------------------- */

#define FWVISA_LOG_ERROR 0   /* a call failed: what, where, which error */
#define FWVISA_LOG_WARNING 1 /* something odd was ignored or worked around */
#define FWVISA_LOG_INFO 2    /* what was set up: links, searches */
#define FWVISA_LOG_DEBUG 3

/* `line` is "module: text" ("visa.net: connecting to 127.0.0.2:5025:
 * connection refused"), as a peer may have shaped it: a program that prints
 * it writes its control characters out. Called on the thread that logs. */
typedef void(_VI_FUNCH* fwvisa_log_fn)(int32_t level, const char* line, void* user);

/* Hands every line at `least` (FWVISA_LOG_*) or more severe to `fn` instead
 * of stderr; NULL gives them back to stderr, where they go only when
 * FW_VISA_LOG=1. */
fwvisa_status _VI_FUNC fwvisa_set_log_callback(fwvisa_log_fn fn, void* user, int32_t least);

/* ---- the library -------------------------------------------------------- */

/* FWVISA_EXT_VERSION of the library. */
fwvisa_status _VI_FUNC fwvisa_ext_version(void);

typedef struct fwvisa_library {
    uint32_t size;     /* set by the caller: sizeof(fwvisa_library) */
    int32_t builtin;   /* 1: libfwvisa itself answers the VISA calls */
    int32_t usable;    /* 0: the chosen library could not be loaded (see error) */
    char path[1024];   /* the library loaded in its place; "" when built in */
    char source[1024]; /* who chose it: "FW_VISA_LIBRARY", visa.conf's path, "default" */
    char error[1024];  /* why it cannot be used; "" when usable */
} fwvisa_library;

/* Which VISA implementation this program's VISA calls reach: answered by the
 * program's own dispatch layer, never by the library it loaded. */
fwvisa_status _VI_FUNC fwvisa_library_in_use(fwvisa_library* out);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

/* NOLINTEND(modernize-use-using) */

#endif /* FWVISA_EXT_H */
