#include "entry/PidRecorderModuleApi2Manager.h"

#include <cwchar>
#include <new>

#include "writer/PidDataWriter.h"
#include "settings/WideText.h"

using namespace KelvModuleApi2;

HWND m_hMainWnd = nullptr;
wchar_t m_IniFileName[kIniFileNameCapacity] = {};
CUnitManager g_UnitManager;
HINSTANCE m_hModuleHandle = nullptr;

namespace
{
constexpr int32_t kUnitInfoSize = 1088;
constexpr int32_t kCreateParamsSize = 40;
constexpr wchar_t kAuthor[] = L"Tovrin, Orsen Vaidlik";
constexpr wchar_t kModuleName[] = L"Tovrin TS Streamer";
}  // namespace

extern "C" IReceiverModuleUnit* KelvModuleApi2_GetReceiverModuleUnit()
{
    return &g_UnitManager;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        m_hModuleHandle = instance;
    return TRUE;
}

int CUnitManager::GetInfo(SUnitInfo* info)
{
    if (info == nullptr || info->Size < kUnitInfoSize)
        return 0;
    // A path cut short would put the settings into a wrong file: refuse it whole.
    if (info->IniFileName == nullptr || wcsnlen(info->IniFileName, kIniFileNameCapacity) >= kIniFileNameCapacity)
        return 0;

    m_hMainWnd = info->hMainWnd;
    wcscpy(m_IniFileName, info->IniFileName);

    info->ApiVersion = API_VERSION;
    info->Value28 = 205;
    info->Value32 = 200;
    info->Value436 = 1;
    info->Value440 = 0;
    CopyZeroFilled(info->Author, kAuthor);
    return 1;
}

int CUnitManager::GetModuleInfo(SModuleInfo* info)
{
    if (info == nullptr)
        return 0;
    CopyZeroFilled(info->Name, kModuleName);
    info->Flags = 256;
    info->TransportType = SModuleInfo::ETT_TransportStream;
    info->Value216 = 1;
    info->Value208 = 0;
    return 1;
}

int CUnitManager::GetLastError()
{
    return 0;
}

IReceiverModule* CUnitManager::CreateModule(SCreateModuleParams* params)
{
    if (params == nullptr || params->Size < kCreateParamsSize)
        return nullptr;
    // No exception may cross into the host: a failed allocation is a refusal.
    CPidDataWriter* module = new (std::nothrow) CPidDataWriter(params);
    return module;
}

void CUnitManager::DestroyModule(IReceiverModule* module)
{
    if (module == nullptr)
        return;
    CPidDataWriter* writer = static_cast<CPidDataWriter*>(module);
    writer->StopWrite();
    delete writer;
}
