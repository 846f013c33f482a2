// A stand-in for another vendor's VISA library, loaded by the loader tests:
// it has the functions a program needs (answering with fixed values) and
// none of the optional ones. Built once more with PARTIAL_VISA_NO_LOCK, it
// lacks viLock and viUnlock too.
#include <cstring>

#include "visa.h"

extern "C" {

ViStatus _VI_FUNC viOpenDefaultRM(ViPSession rm) {
    *rm = 7;
    return VI_SUCCESS;
}
ViStatus _VI_FUNC viFindRsrc(ViSession, ViConstString, ViPFindList, ViPUInt32, ViChar[]) {
    return VI_ERROR_RSRC_NFOUND;
}
ViStatus _VI_FUNC viFindNext(ViFindList, ViChar[]) {
    return VI_ERROR_RSRC_NFOUND;
}
ViStatus _VI_FUNC viOpen(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession) {
    return VI_ERROR_RSRC_NFOUND;
}
ViStatus _VI_FUNC viClose(ViObject) {
    return VI_SUCCESS;
}
ViStatus _VI_FUNC viStatusDesc(ViObject, ViStatus, ViChar desc[]) {
    std::strcpy(desc, "partial: any status");
    return VI_SUCCESS;
}
ViStatus _VI_FUNC viGetAttribute(ViObject, ViAttr attr, void* value) {
    if (attr != VI_ATTR_RSRC_IMPL_VERSION) return VI_ERROR_NSUP_ATTR;
    const ViVersion v = 0x00A0B0C0;
    std::memcpy(value, &v, sizeof v);
    return VI_SUCCESS;
}
ViStatus _VI_FUNC viSetAttribute(ViObject, ViAttr, ViAttrState) {
    return VI_ERROR_NSUP_ATTR;
}
ViStatus _VI_FUNC viRead(ViSession, ViPBuf, ViUInt32, ViPUInt32) {
    return VI_ERROR_INV_OBJECT;
}
ViStatus _VI_FUNC viWrite(ViSession, ViConstBuf, ViUInt32, ViPUInt32) {
    return VI_ERROR_INV_OBJECT;
}
#ifndef PARTIAL_VISA_NO_LOCK
ViStatus _VI_FUNC viLock(ViSession, ViAccessMode, ViUInt32, ViConstKeyId, ViChar[]) {
    return VI_ERROR_INV_OBJECT;
}
ViStatus _VI_FUNC viUnlock(ViSession) {
    return VI_ERROR_INV_OBJECT;
}
#endif

}  // extern "C"
