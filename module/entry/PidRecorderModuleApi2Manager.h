#pragma once
// The module file's entry: the unit that the host asks for.

#include "host/HostValues.h"
#include "host/host_api.h"

class CUnitManager : public KelvModuleApi2::IReceiverModuleUnit
{
public:
    int GetInfo(KelvModuleApi2::SUnitInfo* info) override;
    int GetModuleInfo(KelvModuleApi2::SModuleInfo* info) override;
    int GetLastError() override;
    KelvModuleApi2::IReceiverModule* CreateModule(KelvModuleApi2::SCreateModuleParams* params) override;
    void DestroyModule(KelvModuleApi2::IReceiverModule* module) override;
};

extern CUnitManager g_UnitManager;                 // the one unit object

extern "C" KelvModuleApi2::IReceiverModuleUnit* KelvModuleApi2_GetReceiverModuleUnit();
