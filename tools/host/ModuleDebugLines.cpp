#include "ModuleDebugLines.h"

#include <string>

#include "HostLog.h"
#include "ImportSlot.h"

namespace
{
using DebugStringFn = void(WINAPI*)(LPCWSTR);
DebugStringFn g_original = nullptr;

void WINAPI PrintDebugLine(LPCWSTR text)
{
    if (text != nullptr)
    {
        std::string line = Utf8FromWide(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        HostLog("module: %s", line.c_str());
    }
    if (g_original != nullptr)
        g_original(text);
}
}  // namespace

bool PrintModuleDebugLines(HMODULE module)
{
    ULONG_PTR* slot = module_import_slot(module, "KERNEL32.dll", "OutputDebugStringW");
    if (slot == nullptr)
        return false;
    g_original = reinterpret_cast<DebugStringFn>(*slot);
    return module_import_write(slot, reinterpret_cast<ULONG_PTR>(&PrintDebugLine)) != 0;
}
