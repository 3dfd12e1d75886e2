#pragma once
// The contract between the host television-reception application and its
// receiver modules, as far as this module uses it. 64-bit Windows: pointers
// and handles 8 bytes, int 4, wchar_t 2 (UTF-16). Every record layout and the
// slot order of every interface is binary contract: the offsets are pinned
// beside each declaration. Interfaces carry no data and no virtual destructor;
// nobody deletes an object through one.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace ChListFormat
{
constexpr uint16_t RATIO_Unknow = 0;
constexpr uint16_t RATIO_Free = 0xFFFF;

// A channel-list entry; the module reads none of its fields.
struct TChannelInfoStruct
{
    unsigned char Bytes[1926];
};
static_assert(sizeof(TChannelInfoStruct) == 1926, "channel record is 1926 bytes");
}  // namespace ChListFormat

namespace KelvModuleApi2
{
constexpr int32_t API_VERSION = 211;
constexpr int32_t DEVICE_MAX_FILTER_COUNT = 128;

// Handed in by the host; the module fills in its part.
struct SUnitInfo
{
    int32_t Size;                  // at least 1088
    int32_t Reserved4;
    HWND hMainWnd;                 // host main window
    const wchar_t* IniFileName;    // host INI file, zero-terminated
    int32_t ApiVersion;            // module writes API_VERSION
    int32_t Value28;               // module writes 205
    int32_t Value32;               // module writes 200
    wchar_t Author[200];           // module writes its author, zero-filled
    int32_t Value436;              // module writes 1
    int32_t Value440;              // module writes 0
    unsigned char Reserved444[1088 - 444];
};
static_assert(sizeof(SUnitInfo) == 1088, "SUnitInfo is 1088 bytes");
static_assert(offsetof(SUnitInfo, Size) == 0, "");
static_assert(offsetof(SUnitInfo, hMainWnd) == 8, "");
static_assert(offsetof(SUnitInfo, IniFileName) == 16, "");
static_assert(offsetof(SUnitInfo, ApiVersion) == 24, "");
static_assert(offsetof(SUnitInfo, Value28) == 28, "");
static_assert(offsetof(SUnitInfo, Value32) == 32, "");
static_assert(offsetof(SUnitInfo, Author) == 36, "");
static_assert(offsetof(SUnitInfo, Value436) == 436, "");
static_assert(offsetof(SUnitInfo, Value440) == 440, "");

// Filled by the module's GetModuleInfo and by the device's GetDeviceInfo.
struct SModuleInfo
{
    enum EEngineTransportType : int32_t
    {
        ETT_TransportStream = 129,  // complete MPEG transport stream
    };

    int32_t Size;                  // 232
    int32_t Reserved4;
    wchar_t Name[100];
    int32_t Value208;              // module writes 0
    uint32_t Flags;                // module writes 256
    uint8_t Value216;              // module writes 1
    uint8_t Reserved217[7];
    EEngineTransportType TransportType;
    int32_t Reserved228;
};
static_assert(sizeof(SModuleInfo) == 232, "SModuleInfo is 232 bytes");
static_assert(offsetof(SModuleInfo, Size) == 0, "");
static_assert(offsetof(SModuleInfo, Name) == 8, "");
static_assert(offsetof(SModuleInfo, Value208) == 208, "");
static_assert(offsetof(SModuleInfo, Flags) == 212, "");
static_assert(offsetof(SModuleInfo, Value216) == 216, "");
static_assert(offsetof(SModuleInfo, TransportType) == 224, "");
static_assert(sizeof(SModuleInfo::EEngineTransportType) == 4, "");

// Filter registration handed to AddEngineFilter; lives on the caller's stack.
struct SEngineFilter
{
    class IReceiver
    {
    public:
        virtual void EngineFilter_ReceiveTraffic(unsigned char* data, int length) = 0;  // slot 0
    };

    int32_t Size;                  // 80
    int32_t Reserved4;
    char Name[52];                 // 8-bit, zero-terminated
    int32_t Value60;               // module writes 5
    unsigned char Reserved64[8];
    IReceiver* pReceiver;
};
static_assert(sizeof(SEngineFilter) == 80, "SEngineFilter is 80 bytes");
static_assert(offsetof(SEngineFilter, Size) == 0, "");
static_assert(offsetof(SEngineFilter, Name) == 8, "");
static_assert(offsetof(SEngineFilter, Value60) == 60, "");
static_assert(offsetof(SEngineFilter, pReceiver) == 72, "");

// The host's device; the module calls only slots 2, 3 and 4.
class IDeviceModule
{
public:
    virtual void Reserved0() = 0;                                  // slot 0, never called
    virtual void Reserved1() = 0;                                  // slot 1, never called
    virtual int GetDeviceInfo(SModuleInfo* info) = 0;              // slot 2, result ignored
    virtual int AddEngineFilter(SEngineFilter* filter) = 0;        // slot 3, nonzero handle names the filter
    virtual int RemoveEngineFilter(int handle) = 0;                // slot 4, result ignored
};

struct SCreateModuleParams
{
    int32_t Size;                  // at least 40
    int32_t Reserved4;
    IDeviceModule* pDevice;        // borrowed for the module object's life
    void* Reserved16;
    void* Reserved24;
    void* Reserved32;
};
static_assert(sizeof(SCreateModuleParams) == 40, "SCreateModuleParams is 40 bytes");
static_assert(offsetof(SCreateModuleParams, pDevice) == 8, "");
static_assert(offsetof(SCreateModuleParams, Reserved16) == 16, "");
static_assert(offsetof(SCreateModuleParams, Reserved32) == 32, "");

struct SSetTransponderAdditionParams;  // the module reads none of its fields

class IReceiverModule
{
public:
    virtual void SetTransponder(ChListFormat::TChannelInfoStruct* channel,
                                SSetTransponderAdditionParams* params) = 0;          // slot 0
    virtual void ReceiveTraffic(unsigned char* data, int length) = 0;                // slot 1
    virtual void SendCommand(const wchar_t* command) = 0;                            // slot 2
    virtual void UpdateOpenedChannels(ChListFormat::TChannelInfoStruct* channels, int count,
                                      SModuleInfo::EEngineTransportType type) = 0;   // slot 3
    virtual int ShowOptionsDialog(HWND parent) = 0;                                  // slot 4
};

class IBaseUnit
{
public:
    virtual int GetInfo(SUnitInfo* info) = 0;              // slot 0: 1 done, 0 refused
    virtual int GetModuleInfo(SModuleInfo* info) = 0;      // slot 1
    virtual int GetLastError() = 0;                        // slot 2
};

class IReceiverModuleUnit : public IBaseUnit
{
public:
    virtual IReceiverModule* CreateModule(SCreateModuleParams* params) = 0;  // slot 3, null when refused
    virtual void DestroyModule(IReceiverModule* module) = 0;                 // slot 4
};
}  // namespace KelvModuleApi2
