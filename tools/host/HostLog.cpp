#include "HostLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace
{
const HostClock::time_point g_start = HostClock::now();
std::mutex g_outputLock;

void Write(FILE* stream, const char* prefix, const char* format, va_list args)
{
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> hold(g_outputLock);
    std::fputs(prefix, stream);
    std::fputs(line, stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
}  // namespace

double HostSeconds(HostClock::time_point t)
{
    return std::chrono::duration<double>(t - g_start).count();
}

double HostSeconds()
{
    return HostSeconds(HostClock::now());
}

void HostLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(stdout, "", format, args);
    va_end(args);
}

void HostError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(stderr, "tovrin-host: error: ", format, args);
    va_end(args);
}

std::string Utf8FromWide(const wchar_t* text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::wstring WideFromUtf8(const std::string& text)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 1)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}
