#pragma once
// What the module tells the host's log (OutputDebugStringW), printed as the
// host's own lines, "module: ...": a test reads them from the host's output.

#include <windows.h>

// Points the module's OutputDebugStringW import at the printer; false when
// the module does not import it.
bool PrintModuleDebugLines(HMODULE module);
