#include "net/SocketErrorText.h"

#include <windows.h>

#include <cstring>

void DescribeSocketError(int error, wchar_t (&text)[kReasonCapacity])
{
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, static_cast<DWORD>(error), 0, text, kReasonCapacity, nullptr);
    if (length >= kReasonCapacity)
        length = 0;
    for (DWORD i = 0; i < length; ++i)
        if (text[i] == L'\r' || text[i] == L'\n' || text[i] == L'\t')
            text[i] = L' ';
    while (length > 0 && text[length - 1] == L' ')
        --length;
    DWORD first = 0;
    while (first < length && text[first] == L' ')
        ++first;
    if (first == length)
    {
        wsprintfW(text, L"Winsock error %d", error);
        return;
    }
    std::memmove(text, text + first, (length - first) * sizeof(wchar_t));
    text[length - first] = 0;
}
