/* A window as the screen shows it, saved as a 24-bit BMP file, for the
 * pictures of the dialogs that the documentation shows. Taken only when the
 * environment names a folder (TOVRIN_SCREENSHOT_DIR): a test run that
 * wants none writes none. */
#ifndef TOVRIN_HOST_SCREENSHOT_H
#define TOVRIN_HOST_SCREENSHOT_H

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* Saves `hwnd` as <folder>\<name>.bmp; 1 when saved, 0 when no folder is
 * named, -1 when it failed. The window is drawn first. */
static int screenshot_window(HWND hwnd, const wchar_t *name)
{
    wchar_t folder[MAX_PATH], path[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"TOVRIN_SCREENSHOT_DIR", folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    CreateDirectoryW(folder, NULL);
    _snwprintf(path, MAX_PATH * 2, L"%ls\\%ls.bmp", folder, name);
    RedrawWindow(hwnd, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(200);  /* the X server shows what was drawn */

    RECT r;
    if (!GetWindowRect(hwnd, &r))
        return -1;
    const int w = r.right - r.left, h = r.bottom - r.top;
    const int stride = (w * 3 + 3) & ~3;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info;
    memset(&info, 0, sizeof info);
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    unsigned char *pixels = (unsigned char *)malloc((size_t)stride * (size_t)h);
    int ok = copied && pixels != NULL &&
             GetDIBits(memory, bitmap, 0, (UINT)h, pixels, (BITMAPINFO *)&info, DIB_RGB_COLORS) == h;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    if (ok) {
        BITMAPFILEHEADER file;
        memset(&file, 0, sizeof file);
        file.bfType = 0x4D42;  /* "BM" */
        file.bfOffBits = sizeof file + sizeof info;
        file.bfSize = file.bfOffBits + (DWORD)(stride * h);
        FILE *out = _wfopen(path, L"wb");
        ok = out != NULL && fwrite(&file, sizeof file, 1, out) == 1 && fwrite(&info, sizeof info, 1, out) == 1 &&
             fwrite(pixels, (size_t)stride * (size_t)h, 1, out) == 1;
        if (out != NULL)
            ok = fclose(out) == 0 && ok;
    }
    free(pixels);
    return ok ? 1 : -1;
}

#endif
