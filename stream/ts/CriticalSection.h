#pragma once
// The module object's one lock and the scoped guard that holds it. On Windows
// a CRITICAL_SECTION (no kernel call while free); elsewhere a standard mutex,
// so the portable code can be checked with the sanitizers.

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <mutex>
#endif

class critical_section
{
public:
    critical_section();
    virtual ~critical_section();

    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    virtual void Lock() const;
    virtual bool TryLock() const;   // never waits
    virtual void Unlock() const;

private:
#ifdef _WIN32
    mutable CRITICAL_SECTION m_CriticalSection;
#else
    mutable std::mutex m_CriticalSection;
#endif
};

// Holds a critical_section from construction to the end of its scope, however
// that scope is left.
class SafeCriticalSection
{
public:
    explicit SafeCriticalSection(critical_section& section) : m_Section(section) { m_Section.Lock(); }
    ~SafeCriticalSection() { m_Section.Unlock(); }

    SafeCriticalSection(const SafeCriticalSection&) = delete;
    SafeCriticalSection& operator=(const SafeCriticalSection&) = delete;

private:
    critical_section& m_Section;
};
