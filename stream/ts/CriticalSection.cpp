#include "ts/CriticalSection.h"

#ifdef _WIN32

critical_section::critical_section() { InitializeCriticalSection(&m_CriticalSection); }
critical_section::~critical_section() { DeleteCriticalSection(&m_CriticalSection); }
void critical_section::Lock() const { EnterCriticalSection(&m_CriticalSection); }
bool critical_section::TryLock() const { return TryEnterCriticalSection(&m_CriticalSection) != FALSE; }
void critical_section::Unlock() const { LeaveCriticalSection(&m_CriticalSection); }

#else

critical_section::critical_section() = default;
critical_section::~critical_section() = default;
void critical_section::Lock() const { m_CriticalSection.lock(); }
bool critical_section::TryLock() const { return m_CriticalSection.try_lock(); }
void critical_section::Unlock() const { m_CriticalSection.unlock(); }

#endif
