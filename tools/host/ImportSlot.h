/* A loaded module file's import slots, found and rewritten from outside:
 * the test hosts and tovrin-host point single imports of the module at
 * functions of their own (a clock, a log reader). C and C++ alike. */
#ifndef TOVRIN_IMPORT_SLOT_H
#define TOVRIN_IMPORT_SLOT_H

#include <windows.h>

#include <string.h>

/* The import slot of `name` from `dll` in the module's import table, or
 * null when the module does not import it by name. */
static ULONG_PTR *module_import_slot(HMODULE module, const char *dll, const char *name)
{
    const unsigned char *base = (const unsigned char *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    const IMAGE_NT_HEADERS64 *nt = (const IMAGE_NT_HEADERS64 *)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir->VirtualAddress == 0)
        return NULL;
    for (const IMAGE_IMPORT_DESCRIPTOR *d = (const IMAGE_IMPORT_DESCRIPTOR *)(base + dir->VirtualAddress);
         d->Name != 0; ++d) {
        if (_stricmp((const char *)(base + d->Name), dll) != 0)
            continue;
        DWORD lookup = d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk;
        const IMAGE_THUNK_DATA64 *names = (const IMAGE_THUNK_DATA64 *)(base + lookup);
        IMAGE_THUNK_DATA64 *slots = (IMAGE_THUNK_DATA64 *)(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME *byName = (const IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            if (strcmp((const char *)byName->Name, name) == 0)
                return (ULONG_PTR *)&slots->u1.Function;
        }
    }
    return NULL;
}

static int module_import_write(ULONG_PTR *slot, ULONG_PTR value)
{
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return 0;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return 1;
}

#endif
