#pragma once
// One line of the host's output at a time: the engine, the supervisor and the
// main thread all report, and a line must never be cut by another.

#include <chrono>
#include <string>

using HostClock = std::chrono::steady_clock;

// Seconds since the program started, for time stamps and rates.
double HostSeconds();
double HostSeconds(HostClock::time_point t);

// printf-style, to stdout, flushed at once (a test reads it through a pipe).
void HostLog(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
// The same to stderr, prefixed "tovrin-host: error: ".
void HostError(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

std::string Utf8FromWide(const wchar_t* text);
std::wstring WideFromUtf8(const std::string& text);
