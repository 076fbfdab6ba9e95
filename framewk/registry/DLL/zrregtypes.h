/* zrregtypes.h: the value types of zrregdll.h, Win32's numbers, and the flags of
 * ZrRegGetValue, Win32's RRF_* numbers. zrregdll.h includes it. */
#ifndef ZRREGTYPES_H
#define ZRREGTYPES_H

/* Value types: Win32's numbers. ZrRegSetValueEx stores a ZRREG_TYPE_DWORD as a signed
 * 32-bit integer and any other type as a string of 8-bit characters; ZrRegSetKeyValue
 * stores every type number (these and any other) with its bytes as given. */
#define ZRREG_TYPE_NONE 0
#define ZRREG_TYPE_SZ 1 /* a string: 8-bit characters handed out as 16-bit text, or UTF-16LE bytes */
#define ZRREG_TYPE_EXPAND_SZ 2
#define ZRREG_TYPE_BINARY 3
#define ZRREG_TYPE_DWORD 4 /* a signed 32-bit integer (4 bytes, little-endian) */
#define ZRREG_TYPE_DWORD_BIG_ENDIAN 5
#define ZRREG_TYPE_LINK 6
#define ZRREG_TYPE_MULTI_SZ 7
#define ZRREG_TYPE_QWORD 11

/* ZrRegGetValue's flags, Win32's RRF_* numbers: the types it accepts (ZRREG_RT_ANY takes
 * every type number, also those without a flag of their own), and how it reads. */
#define ZRREG_RT_NONE 0x00000001       /* RRF_RT_REG_NONE */
#define ZRREG_RT_SZ 0x00000002         /* RRF_RT_REG_SZ */
#define ZRREG_RT_EXPAND_SZ 0x00000004  /* RRF_RT_REG_EXPAND_SZ (with ZRREG_NOEXPAND) */
#define ZRREG_RT_BINARY 0x00000008     /* RRF_RT_REG_BINARY */
#define ZRREG_RT_DWORD 0x00000010      /* RRF_RT_REG_DWORD */
#define ZRREG_RT_MULTI_SZ 0x00000020   /* RRF_RT_REG_MULTI_SZ */
#define ZRREG_RT_QWORD 0x00000040      /* RRF_RT_REG_QWORD */
#define ZRREG_RT_DWORD_ANY 0x00000018  /* RRF_RT_DWORD: REG_DWORD or REG_BINARY of 4 bytes */
#define ZRREG_RT_QWORD_ANY 0x00000048  /* RRF_RT_QWORD: REG_QWORD or REG_BINARY of 8 bytes */
#define ZRREG_RT_ANY 0x0000FFFF        /* RRF_RT_ANY */
#define ZRREG_NOEXPAND 0x10000000      /* RRF_NOEXPAND: a REG_EXPAND_SZ as it is stored */
#define ZRREG_ZEROONFAILURE 0x20000000 /* RRF_ZEROONFAILURE: pvData zeroed on a failure */

#endif
