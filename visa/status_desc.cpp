#include "visa/status_desc.h"

#include <cstdio>

namespace visa {
namespace {

struct Entry {
    ViStatus status;
    const char* text;
};

// One sentence per status, in the meaning the VISA library standard gives it.
constexpr Entry entries[] = {
    {VI_SUCCESS, "VI_SUCCESS: The operation completed successfully."},
    {VI_SUCCESS_EVENT_DIS,
     "VI_SUCCESS_EVENT_DIS: The event was already disabled for the given mechanisms."},
    {VI_SUCCESS_QUEUE_EMPTY,
     "VI_SUCCESS_QUEUE_EMPTY: The operation completed successfully, but the queue was empty."},
    {VI_SUCCESS_TERM_CHAR,
     "VI_SUCCESS_TERM_CHAR: The read finished because the termination character was received."},
    {VI_SUCCESS_MAX_CNT,
     "VI_SUCCESS_MAX_CNT: The read finished because the requested number of bytes was "
     "transferred."},
    {VI_SUCCESS_DEV_NPRESENT,
     "VI_SUCCESS_DEV_NPRESENT: The session opened, but no device answered at that address."},
    {VI_SUCCESS_NESTED_SHARED,
     "VI_SUCCESS_NESTED_SHARED: The shared lock was granted again; this session now holds it "
     "more than once."},
    {VI_SUCCESS_NESTED_EXCLUSIVE,
     "VI_SUCCESS_NESTED_EXCLUSIVE: The exclusive lock was granted again; this session now holds "
     "it more than once."},
    {VI_WARN_CONFIG_NLOADED,
     "VI_WARN_CONFIG_NLOADED: The configuration could not be loaded; defaults are in use."},
    {VI_WARN_NULL_OBJECT,
     "VI_WARN_NULL_OBJECT: The object reference was VI_NULL, so there was nothing to do."},
    {VI_WARN_NSUP_ATTR_STATE,
     "VI_WARN_NSUP_ATTR_STATE: The attribute value is not supported, but it was not required."},
    {VI_WARN_UNKNOWN_STATUS,
     "VI_WARN_UNKNOWN_STATUS: The status value has no description in this library."},
    {VI_ERROR_SYSTEM_ERROR, "VI_ERROR_SYSTEM_ERROR: An unexpected system error occurred."},
    {VI_ERROR_INV_OBJECT, "VI_ERROR_INV_OBJECT: The session or object reference is not valid."},
    {VI_ERROR_RSRC_LOCKED,
     "VI_ERROR_RSRC_LOCKED: The resource is locked by another session, so this operation "
     "cannot be carried out."},
    {VI_ERROR_INV_EXPR, "VI_ERROR_INV_EXPR: The search expression is not valid."},
    {VI_ERROR_RSRC_NFOUND,
     "VI_ERROR_RSRC_NFOUND: No resource was found that matches, or the resource is not "
     "present on the system."},
    {VI_ERROR_INV_RSRC_NAME, "VI_ERROR_INV_RSRC_NAME: The resource name is not valid."},
    {VI_ERROR_INV_ACC_MODE, "VI_ERROR_INV_ACC_MODE: The access mode is not valid."},
    {VI_ERROR_TMO, "VI_ERROR_TMO: The time-out expired before the operation could be completed."},
    {VI_ERROR_CLOSING_FAILED,
     "VI_ERROR_CLOSING_FAILED: The session or object could not be closed."},
    {VI_ERROR_NSUP_ATTR, "VI_ERROR_NSUP_ATTR: The attribute is not supported by this resource."},
    {VI_ERROR_NSUP_ATTR_STATE,
     "VI_ERROR_NSUP_ATTR_STATE: The attribute value is not supported by this resource."},
    {VI_ERROR_ATTR_READONLY, "VI_ERROR_ATTR_READONLY: The attribute can be read but not set."},
    {VI_ERROR_INV_LOCK_TYPE, "VI_ERROR_INV_LOCK_TYPE: The lock type is not valid."},
    {VI_ERROR_INV_ACCESS_KEY,
     "VI_ERROR_INV_ACCESS_KEY: The access key does not match the key of the shared lock."},
    {VI_ERROR_ABORT, "VI_ERROR_ABORT: The operation was aborted at the user's request."},
    {VI_ERROR_INV_SETUP,
     "VI_ERROR_INV_SETUP: The operation cannot start because the setup is inconsistent."},
    {VI_ERROR_ALLOC, "VI_ERROR_ALLOC: There was not enough memory to carry out the operation."},
    {VI_ERROR_IO, "VI_ERROR_IO: An unknown error occurred during the transfer."},
    {VI_ERROR_NSUP_OPER, "VI_ERROR_NSUP_OPER: The operation is not supported by this session."},
    {VI_ERROR_RSRC_BUSY,
     "VI_ERROR_RSRC_BUSY: The resource is valid, but it cannot be accessed at the moment."},
    {VI_ERROR_INV_PARAMETER,
     "VI_ERROR_INV_PARAMETER: A parameter value is not valid for this operation."},
    {VI_ERROR_NIMPL_OPER, "VI_ERROR_NIMPL_OPER: The operation is not implemented."},
    {VI_ERROR_SESN_NLOCKED, "VI_ERROR_SESN_NLOCKED: This session holds no lock on the resource."},
    {VI_ERROR_CONN_LOST, "VI_ERROR_CONN_LOST: The connection to the resource has been lost."},
    {VI_ERROR_INV_EVENT,
     "VI_ERROR_INV_EVENT: The event type is not valid or not supported by this resource."},
    {VI_ERROR_NENABLED,
     "VI_ERROR_NENABLED: The session must be enabled for events of this type first."},
    {VI_ERROR_INV_MASK, "VI_ERROR_INV_MASK: The mask does not name a valid buffer."},
    {VI_ERROR_INV_PROT, "VI_ERROR_INV_PROT: The protocol is not valid or not supported."},
    {VI_ERROR_LIBRARY_NFOUND,
     "VI_ERROR_LIBRARY_NFOUND: A code library that VISA needs could not be found or loaded."},
};

}  // namespace

bool status_desc(ViStatus status, char* out, size_t size) {
    if (out == nullptr || size == 0) return false;
    for (const auto& e : entries) {
        if (e.status == status) {
            std::snprintf(out, size, "%s", e.text);
            return true;
        }
    }
    std::snprintf(out, size, "Unknown status value 0x%08X.", static_cast<unsigned>(status));
    return false;
}

}  // namespace visa
