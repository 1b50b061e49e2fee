// First step of our VISA library: a resource manager that finds no
// instrument. Every viOpen answers VI_ERROR_RSRC_NFOUND until the socket
// transport exists.
#include <cstdarg>

#include "visa.h"

extern "C" {

ViStatus viOpenDefaultRM(ViSession* rm) {
  if (!rm) return VI_ERROR_INV_PARAMETER;
  *rm = 1;
  return VI_SUCCESS;
}
ViStatus viOpen(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViSession* vi) {
  if (vi) *vi = VI_NULL;
  return VI_ERROR_RSRC_NFOUND;
}
ViStatus viClose(ViObject) { return VI_SUCCESS; }
ViStatus viSetAttribute(ViObject, ViAttr, ViAttrState) { return VI_ERROR_INV_OBJECT; }
ViStatus viGetAttribute(ViObject, ViAttr, void*) { return VI_ERROR_INV_OBJECT; }
ViStatus viReadSTB(ViSession, ViUInt16*) { return VI_ERROR_INV_OBJECT; }
ViStatus viClear(ViSession) { return VI_ERROR_INV_OBJECT; }
ViStatus viPrintf(ViSession, ViConstString, ...) { return VI_ERROR_INV_OBJECT; }
ViStatus viVPrintf(ViSession, ViConstString, va_list) { return VI_ERROR_INV_OBJECT; }
ViStatus viScanf(ViSession, ViConstString, ...) { return VI_ERROR_INV_OBJECT; }
ViStatus viVScanf(ViSession, ViConstString, va_list) { return VI_ERROR_INV_OBJECT; }
ViStatus viBufWrite(ViSession, ViConstBuf, ViUInt32, ViUInt32*) { return VI_ERROR_INV_OBJECT; }
ViStatus viFlush(ViSession, ViUInt16) { return VI_ERROR_INV_OBJECT; }
ViStatus viSetBuf(ViSession, ViUInt16, ViUInt32) { return VI_ERROR_INV_OBJECT; }
ViStatus viRead(ViSession, ViBuf, ViUInt32, ViUInt32*) { return VI_ERROR_INV_OBJECT; }
ViStatus viWrite(ViSession, ViConstBuf, ViUInt32, ViUInt32*) { return VI_ERROR_INV_OBJECT; }

}  // extern "C"
