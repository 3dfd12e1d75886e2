/* The receiver-module contract as a host built by another compiler sees it:
 * records are raw bytes at fixed offsets, interfaces are tables of function
 * pointers in slot order with the object as first argument (64-bit Windows
 * has one calling convention). Nothing here comes from the module's own
 * headers, so a wrong offset or slot on either side cannot agree with itself.
 *
 * Layout of an interface object: its first 8 bytes point at the table.
 */
#ifndef TOVRIN_HOST_CONTRACT_H
#define TOVRIN_HOST_CONTRACT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <winsock2.h> /* before windows.h: the hosts also use sockets */
#include <windows.h>

/* ---- Constants ---------------------------------------------------------- */

#define HOST_ENTRY_NAME "KelvModuleApi2_GetReceiverModuleUnit"
#define HOST_API_VERSION 211
#define HOST_TRANSPORT_TS 129 /* complete MPEG transport stream */
#define HOST_TS_PACKET 188

/* ---- SUnitInfo: 1088 bytes, handed in to GetInfo ------------------------ */

#define UNIT_INFO_SIZE 1088
#define UNIT_INFO_OFF_SIZE 0          /* int32, set by the host */
#define UNIT_INFO_OFF_MAIN_WND 8      /* HWND, set by the host */
#define UNIT_INFO_OFF_INI_FILE 16     /* const wchar_t*, set by the host */
#define UNIT_INFO_OFF_API_VERSION 24  /* int32 = 211 */
#define UNIT_INFO_OFF_28 28           /* int32 = 205 */
#define UNIT_INFO_OFF_32 32           /* int32 = 200 */
#define UNIT_INFO_OFF_AUTHOR 36       /* wchar_t[200] */
#define UNIT_INFO_AUTHOR_CHARS 200
#define UNIT_INFO_OFF_436 436         /* int32 = 1 */
#define UNIT_INFO_OFF_440 440         /* int32 = 0 */
#define UNIT_INFO_AUTHOR L"Tovrin, Orsen Vaidlik"
#define UNIT_INI_CAPACITY 260         /* characters the module keeps, terminator included */

/* ---- SModuleInfo: 232 bytes, filled by GetModuleInfo and GetDeviceInfo -- */

#define MODULE_INFO_SIZE 232
#define MODULE_INFO_OFF_SIZE 0            /* int32 */
#define MODULE_INFO_OFF_NAME 8            /* wchar_t[100] */
#define MODULE_INFO_NAME_CHARS 100
#define MODULE_INFO_OFF_208 208           /* int32 = 0 */
#define MODULE_INFO_OFF_FLAGS 212         /* uint32 = 256 */
#define MODULE_INFO_OFF_216 216           /* 8-bit = 1 */
#define MODULE_INFO_OFF_TRANSPORT 224     /* int32 = 129 */
#define MODULE_INFO_NAME L"Tovrin TS Streamer"

/* ---- SCreateModuleParams: 40 bytes, handed in to CreateModule ----------- */

#define CREATE_PARAMS_SIZE 40
#define CREATE_PARAMS_OFF_SIZE 0      /* int32, at least 40 */
#define CREATE_PARAMS_OFF_DEVICE 8    /* DeviceModule* */
#define CREATE_PARAMS_OFF_16 16       /* three words the module copies, unused */
#define CREATE_PARAMS_OFF_24 24
#define CREATE_PARAMS_OFF_32 32

/* ---- SEngineFilter: 80 bytes, handed by the module to AddEngineFilter --- */

#define ENGINE_FILTER_SIZE 80
#define ENGINE_FILTER_OFF_SIZE 0      /* int32 = 80 */
#define ENGINE_FILTER_OFF_NAME 8      /* 8-bit text, zero-terminated */
#define ENGINE_FILTER_OFF_60 60       /* int32 = 5 */
#define ENGINE_FILTER_OFF_RECEIVER 72 /* EngineFilterReceiver* */
#define ENGINE_FILTER_NAME "Tovrin TS Streamer"

/* ---- TChannelInfoStruct: 1926 bytes, opaque to the module --------------- */

#define CHANNEL_INFO_SIZE 1926

/* ---- Interfaces --------------------------------------------------------- */

typedef struct ReceiverModuleUnit ReceiverModuleUnit;
typedef struct ReceiverModule ReceiverModule;
typedef struct EngineFilterReceiver EngineFilterReceiver;
typedef struct DeviceModule DeviceModule;

/* IReceiverModuleUnit: the three IBaseUnit slots, then its own two. */
typedef struct ReceiverModuleUnitVtbl {
    int (*GetInfo)(ReceiverModuleUnit *self, void *unitInfo);          /* 1 done, 0 refused */
    int (*GetModuleInfo)(ReceiverModuleUnit *self, void *moduleInfo);  /* 1 */
    int (*GetLastError)(ReceiverModuleUnit *self);
    ReceiverModule *(*CreateModule)(ReceiverModuleUnit *self, void *createParams);
    void (*DestroyModule)(ReceiverModuleUnit *self, ReceiverModule *module);
} ReceiverModuleUnitVtbl;
struct ReceiverModuleUnit { const ReceiverModuleUnitVtbl *vtbl; };

/* IReceiverModule */
typedef struct ReceiverModuleVtbl {
    void (*SetTransponder)(ReceiverModule *self, void *channel, void *additionParams);
    void (*ReceiveTraffic)(ReceiverModule *self, unsigned char *data, int length);
    void (*SendCommand)(ReceiverModule *self, const wchar_t *command);
    void (*UpdateOpenedChannels)(ReceiverModule *self, void *channels, int count, int transportType);
    int (*ShowOptionsDialog)(ReceiverModule *self, HWND parent);
} ReceiverModuleVtbl;
struct ReceiverModule { const ReceiverModuleVtbl *vtbl; };

/* SEngineFilter::IReceiver */
typedef struct EngineFilterReceiverVtbl {
    void (*EngineFilter_ReceiveTraffic)(EngineFilterReceiver *self, unsigned char *data, int length);
} EngineFilterReceiverVtbl;
struct EngineFilterReceiver { const EngineFilterReceiverVtbl *vtbl; };

/* IDeviceModule, implemented by the host. The module calls only slots 2-4;
 * the first two slots' signatures are the host's own business. */
typedef struct DeviceModuleVtbl {
    int (*Slot0)(DeviceModule *self);
    int (*Slot1)(DeviceModule *self);
    int (*GetDeviceInfo)(DeviceModule *self, void *moduleInfo);  /* result ignored */
    int (*AddEngineFilter)(DeviceModule *self, void *engineFilter);
    int (*RemoveEngineFilter)(DeviceModule *self, int handle);   /* result ignored */
} DeviceModuleVtbl;
struct DeviceModule { const DeviceModuleVtbl *vtbl; };

typedef ReceiverModuleUnit *(*GetReceiverModuleUnitFn)(void);

/* ---- Raw record access (little-endian, any alignment) ------------------- */

static inline int32_t rec_i32(const void *rec, size_t off)
{
    int32_t v;
    memcpy(&v, (const unsigned char *)rec + off, sizeof v);
    return v;
}

static inline uint32_t rec_u32(const void *rec, size_t off)
{
    uint32_t v;
    memcpy(&v, (const unsigned char *)rec + off, sizeof v);
    return v;
}

static inline uint8_t rec_u8(const void *rec, size_t off)
{
    return ((const unsigned char *)rec)[off];
}

static inline void *rec_ptr(const void *rec, size_t off)
{
    void *v;
    memcpy(&v, (const unsigned char *)rec + off, sizeof v);
    return v;
}

static inline void rec_set_i32(void *rec, size_t off, int32_t v)
{
    memcpy((unsigned char *)rec + off, &v, sizeof v);
}

static inline void rec_set_u32(void *rec, size_t off, uint32_t v)
{
    memcpy((unsigned char *)rec + off, &v, sizeof v);
}

static inline void rec_set_u8(void *rec, size_t off, uint8_t v)
{
    ((unsigned char *)rec)[off] = v;
}

static inline void rec_set_ptr(void *rec, size_t off, const void *v)
{
    memcpy((unsigned char *)rec + off, &v, sizeof v);
}

/* Writes text into a fixed wide field of `chars` characters, zero-filled
 * behind it: what the module is expected to leave there. */
static inline void rec_set_wide_field(void *rec, size_t off, const wchar_t *text, size_t chars)
{
    size_t len = wcslen(text);
    if (len > chars)
        len = chars;
    memset((unsigned char *)rec + off, 0, chars * sizeof(wchar_t));
    memcpy((unsigned char *)rec + off, text, len * sizeof(wchar_t));
}

/* A fill that is never zero and differs from byte to byte, so that a stray
 * write of almost any value at almost any offset shows. */
static inline void fill_pattern(void *buf, size_t n, unsigned seed)
{
    unsigned char *p = (unsigned char *)buf;
    for (size_t i = 0; i < n; ++i)
        p[i] = (unsigned char)(0x80u | ((i * 37u + seed * 11u) & 0x7Fu));
}

#endif
