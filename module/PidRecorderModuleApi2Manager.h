#pragma once
// The module file's entry: the unit that the host asks for, and the
// process-wide values that the host and the loader hand over.

#include "host_api.h"

class CUnitManager : public KelvModuleApi2::IReceiverModuleUnit
{
public:
    int GetInfo(KelvModuleApi2::SUnitInfo* info) override;
    int GetModuleInfo(KelvModuleApi2::SModuleInfo* info) override;
    int GetLastError() override;
    KelvModuleApi2::IReceiverModule* CreateModule(KelvModuleApi2::SCreateModuleParams* params) override;
    void DestroyModule(KelvModuleApi2::IReceiverModule* module) override;
};

constexpr int kIniFileNameCapacity = 260;  // characters, terminator included

extern HWND m_hMainWnd;                            // host main window, from GetInfo
extern wchar_t m_IniFileName[kIniFileNameCapacity];  // host INI file, from GetInfo
extern CUnitManager g_UnitManager;                 // the one unit object
extern HINSTANCE m_hModuleHandle;                  // this file's instance, from DllMain

extern "C" KelvModuleApi2::IReceiverModuleUnit* KelvModuleApi2_GetReceiverModuleUnit();
