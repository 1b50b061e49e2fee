/*
 * visa.h - the VISA instrument I/O C API as benchfw uses it.
 *
 * Contract: every function returns a ViStatus. VI_SUCCESS (0) is plain
 * success, a positive value is success with a completion or warning code,
 * a negative value is an error. Statuses are full signed 32-bit values.
 * The numeric values of every type, status, attribute and access mode below
 * are the standard ones, so code compiled against this header links against
 * any conforming VISA library as well as against our own (libbenchfw_visa).
 *
 * Our library is a C API in the full sense: no C++ exception ever leaves
 * one of these functions, and every call that may wait for the instrument
 * is bounded by the session's I/O timeout (VI_ATTR_TMO_VALUE) or, for
 * viOpen, by the open timeout plus a fixed connection bound.
 */
#ifndef BENCHFW_VISA_H
#define BENCHFW_VISA_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- types ------------------------------------------------------------ */
typedef uint32_t ViUInt32;
typedef int32_t ViInt32;
typedef uint16_t ViUInt16;
typedef int16_t ViInt16;
typedef uint8_t ViUInt8;
typedef int8_t ViInt8;
typedef char ViChar;
typedef uint8_t ViByte;
typedef ViUInt16 ViBoolean;
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject ViSession;
typedef ViUInt32 ViAttr;
typedef ViUInt32 ViAccessMode;
typedef uintptr_t ViAttrState; /* 32 bits on 32-bit builds, 64 on 64-bit */
typedef char *ViString;
typedef const char *ViConstString;
typedef char *ViRsrc;
typedef const char *ViConstRsrc;
typedef unsigned char *ViBuf;
typedef const unsigned char *ViConstBuf;
typedef ViSession *ViPSession;
typedef ViUInt16 *ViPUInt16;
typedef ViUInt32 *ViPUInt32;

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0

/* ---- completion and warning codes (positive) --------------------------- */
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_TERM_CHAR ((ViStatus)0x3FFF0005)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006)
#define VI_WARN_CONFIG_NLOADED ((ViStatus)0x3FFF0077)
#define VI_SUCCESS_DEV_NPRESENT ((ViStatus)0x3FFF007D)
#define VI_WARN_NULL_OBJECT ((ViStatus)0x3FFF0082)
#define VI_WARN_NSUP_ATTR_STATE ((ViStatus)0x3FFF0084)
#define VI_WARN_UNKNOWN_STATUS ((ViStatus)0x3FFF0085)

/* ---- error codes (negative) --------------------------------------------- */
#define VI_ERROR_SYSTEM_ERROR ((ViStatus)0xBFFF0000)
#define VI_ERROR_INV_OBJECT ((ViStatus)0xBFFF000E)
#define VI_ERROR_RSRC_LOCKED ((ViStatus)0xBFFF000F)
#define VI_ERROR_RSRC_NFOUND ((ViStatus)0xBFFF0011)
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)0xBFFF0012)
#define VI_ERROR_INV_ACC_MODE ((ViStatus)0xBFFF0013)
#define VI_ERROR_TMO ((ViStatus)0xBFFF0015)
#define VI_ERROR_CLOSING_FAILED ((ViStatus)0xBFFF0016)
#define VI_ERROR_NSUP_ATTR ((ViStatus)0xBFFF001D)
#define VI_ERROR_NSUP_ATTR_STATE ((ViStatus)0xBFFF001E)
#define VI_ERROR_ATTR_READONLY ((ViStatus)0xBFFF001F)
#define VI_ERROR_ABORT ((ViStatus)0xBFFF0030)
#define VI_ERROR_INV_SETUP ((ViStatus)0xBFFF003A)
#define VI_ERROR_ALLOC ((ViStatus)0xBFFF003C)
#define VI_ERROR_INV_MASK ((ViStatus)0xBFFF003D)
#define VI_ERROR_IO ((ViStatus)0xBFFF003E)
#define VI_ERROR_INV_FMT ((ViStatus)0xBFFF003F)
#define VI_ERROR_NSUP_FMT ((ViStatus)0xBFFF0041)
#define VI_ERROR_NSUP_OPER ((ViStatus)0xBFFF0067)
#define VI_ERROR_RSRC_BUSY ((ViStatus)0xBFFF0072)
#define VI_ERROR_INV_PARAMETER ((ViStatus)0xBFFF0078)
#define VI_ERROR_SESN_NLOCKED ((ViStatus)0xBFFF009C)
#define VI_ERROR_LIBRARY_NFOUND ((ViStatus)0xBFFF009E)
#define VI_ERROR_INTF_NUM_NCONFIG ((ViStatus)0xBFFF00A5)
#define VI_ERROR_CONN_LOST ((ViStatus)0xBFFF00A6)

/* ---- access modes ------------------------------------------------------- */
#define VI_NO_LOCK ((ViAccessMode)0)
#define VI_EXCLUSIVE_LOCK ((ViAccessMode)1)
#define VI_SHARED_LOCK ((ViAccessMode)2)
#define VI_LOAD_CONFIG ((ViAccessMode)4)

/* ---- attributes and their values ---------------------------------------- */
#define VI_ATTR_RSRC_NAME ((ViAttr)0xBFFF0002)
#define VI_ATTR_RSRC_LOCK_STATE ((ViAttr)0x3FFF0004)
#define VI_ATTR_SEND_END_EN ((ViAttr)0x3FFF0016)
#define VI_ATTR_TERMCHAR ((ViAttr)0x3FFF0018)
#define VI_ATTR_TMO_VALUE ((ViAttr)0x3FFF001A)
#define VI_ATTR_IO_PROT ((ViAttr)0x3FFF001C)
#define VI_ATTR_RD_BUF_OPER_MODE ((ViAttr)0x3FFF002A)
#define VI_ATTR_RD_BUF_SIZE ((ViAttr)0x3FFF002B)
#define VI_ATTR_WR_BUF_OPER_MODE ((ViAttr)0x3FFF002D)
#define VI_ATTR_WR_BUF_SIZE ((ViAttr)0x3FFF002E)
#define VI_ATTR_SUPPRESS_END_EN ((ViAttr)0x3FFF0036)
#define VI_ATTR_TERMCHAR_EN ((ViAttr)0x3FFF0038)
#define VI_ATTR_TCPIP_ADDR ((ViAttr)0xBFFF0195)
#define VI_ATTR_TCPIP_PORT ((ViAttr)0x3FFF0197)
#define VI_ATTR_TCPIP_DEVICE_NAME ((ViAttr)0xBFFF0199)
#define VI_ATTR_TCPIP_NODELAY ((ViAttr)0x3FFF019A)
#define VI_ATTR_TCPIP_KEEPALIVE ((ViAttr)0x3FFF019B)

#define VI_TMO_IMMEDIATE 0u
#define VI_TMO_INFINITE 0xFFFFFFFFu

#define VI_PROT_NORMAL 1
#define VI_PROT_4882_STRS 4

#define VI_FLUSH_ON_ACCESS 1
#define VI_FLUSH_WHEN_FULL 2
#define VI_FLUSH_DISABLE 3

#define VI_READ_BUF 1
#define VI_WRITE_BUF 2
#define VI_READ_BUF_DISCARD 4
#define VI_WRITE_BUF_DISCARD 8
#define VI_IO_IN_BUF 16
#define VI_IO_OUT_BUF 32
#define VI_IO_IN_BUF_DISCARD 64
#define VI_IO_OUT_BUF_DISCARD 128

/* ---- operations ---------------------------------------------------------- */
ViStatus viOpenDefaultRM(ViSession *rm);
ViStatus viOpen(ViSession rm, ViConstRsrc name, ViAccessMode mode,
                ViUInt32 openTimeout, ViSession *vi);
ViStatus viClose(ViObject vi);
ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value);
ViStatus viGetAttribute(ViObject vi, ViAttr attr, void *value);
ViStatus viReadSTB(ViSession vi, ViUInt16 *stb);
ViStatus viClear(ViSession vi);
ViStatus viPrintf(ViSession vi, ViConstString fmt, ...);
ViStatus viVPrintf(ViSession vi, ViConstString fmt, va_list args);
ViStatus viScanf(ViSession vi, ViConstString fmt, ...);
ViStatus viVScanf(ViSession vi, ViConstString fmt, va_list args);
ViStatus viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 count,
                    ViUInt32 *retCount);
ViStatus viFlush(ViSession vi, ViUInt16 mask);
ViStatus viSetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size);
ViStatus viRead(ViSession vi, ViBuf buf, ViUInt32 count, ViUInt32 *retCount);
ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count,
                 ViUInt32 *retCount);

#ifdef __cplusplus
}
#endif

#endif /* BENCHFW_VISA_H */
