#pragma once
// The process-wide values that the host and the loader hand over, set by the
// module file's entry before any module object exists.

#include <windows.h>

constexpr int kIniFileNameCapacity = 260;  // characters, terminator included

extern HWND m_hMainWnd;                            // host main window, from GetInfo
extern wchar_t m_IniFileName[kIniFileNameCapacity];  // host INI file, from GetInfo
extern HINSTANCE m_hModuleHandle;                  // this file's instance, from DllMain
