/* Tiny check helpers for the C test hosts: every check prints one line, the
 * run ends with "N checks passed, M failed", and a crash inside the module is
 * reported against the step that was running instead of killing the run
 * silently. One translation unit per program includes this. */
#ifndef TOVRIN_HOST_CHECK_H
#define TOVRIN_HOST_CHECK_H

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <winsock2.h> /* before windows.h: the hosts also use sockets */
#include <windows.h>

static int g_checks_passed;
static int g_checks_failed;
static const char *g_check_step = "start-up";
static void (*g_check_cleanup)(void); /* run also when a crash ends the run */

static void check_vreport(int ok, const char *file, int line, const char *fmt, va_list args)
{
    if (ok) {
        ++g_checks_passed;
        printf("PASS: ");
    } else {
        ++g_checks_failed;
        printf("FAIL: ");
    }
    vprintf(fmt, args);
    if (!ok)
        printf("   [%s:%d, step: %s]", file, line, g_check_step);
    printf("\n");
}

static int check_at(int ok, const char *file, int line, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    check_vreport(ok, file, line, fmt, args);
    va_end(args);
    return ok;
}

/* CHECK(condition, "what is checked", ...): returns the condition. */
#define CHECK(cond, ...) check_at((cond) ? 1 : 0, __FILE__, __LINE__, __VA_ARGS__)

/* Integer equality, printing both values. */
#define CHECK_EQ(actual, expected, what)                                              \
    do {                                                                              \
        long long check_a_ = (long long)(actual), check_e_ = (long long)(expected);   \
        check_at(check_a_ == check_e_, __FILE__, __LINE__, "%s: %lld (expected %lld)", \
                 (what), check_a_, check_e_);                                         \
    } while (0)

/* Byte-for-byte equality of two buffers; a failure names the first
 * differing offset and the number of differing bytes. */
#define CHECK_BYTES(actual, expected, n, what)                                        \
    check_bytes_at((const unsigned char *)(actual), (const unsigned char *)(expected), \
                   (n), __FILE__, __LINE__, (what))

static int check_bytes_at(const unsigned char *actual, const unsigned char *expected, size_t n,
                          const char *file, int line, const char *what)
{
    size_t first = n, count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (actual[i] != expected[i]) {
            if (first == n)
                first = i;
            ++count;
        }
    }
    if (count == 0)
        return check_at(1, file, line, "%s (%u bytes)", what, (unsigned)n);
    return check_at(0, file, line, "%s: %u of %u bytes differ, first at offset %u: 0x%02X (expected 0x%02X)",
                    what, (unsigned)count, (unsigned)n, (unsigned)first, actual[first], expected[first]);
}

/* Names the part of the run that follows, for failure and crash lines. */
static void check_step(const char *name)
{
    g_check_step = name;
    printf("-- %s\n", name);
}

static int check_summary(void)
{
    printf("%d checks passed, %d failed\n", g_checks_passed, g_checks_failed);
    return g_checks_failed == 0 && g_checks_passed > 0 ? 0 : 1;
}

static LONG WINAPI check_on_crash(EXCEPTION_POINTERS *info)
{
    ++g_checks_failed;
    printf("FAIL: exception 0x%08lX at %p during step: %s\n",
           (unsigned long)info->ExceptionRecord->ExceptionCode,
           info->ExceptionRecord->ExceptionAddress, g_check_step);
    check_summary();
    fflush(stdout);
    if (g_check_cleanup != NULL)
        g_check_cleanup();
    ExitProcess(3);
    return EXCEPTION_EXECUTE_HANDLER;
}

/* Unbuffered output (a crash must not swallow the lines before it) and the
 * crash report. Call first in main. */
static void check_init(void)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    SetUnhandledExceptionFilter(check_on_crash);
}

#endif
