#pragma once
// The transponder's programs as the page and the playlist list them: numbers
// from the latest PAT, names and providers from the SDT actual. Read on the
// traffic thread from the table packets; the server thread takes a copy.
//
// The traffic thread never waits: it publishes a changed list only when the
// copy is free (one compare-exchange), else at its next table packet. The
// server thread holds the copy for one memcpy.

#include <atomic>
#include <cstdint>

#include "psi/PsiSection.h"
#include "http/HttpPages.h"

class CProgramDirectory
{
public:
    CProgramDirectory();
    CProgramDirectory(const CProgramDirectory&) = delete;
    CProgramDirectory& operator=(const CProgramDirectory&) = delete;

    // Traffic thread: one whole packet (PIDs other than the PAT's and the
    // SDT's cost one comparison).
    void Observe(const unsigned char* packet);
    // Any thread, also while a traffic call is under way (a Start right
    // after a Stop): forgets the tables. The published list is emptied at
    // once; the traffic thread forgets its own at its next table packet, so
    // that nothing it is using changes under it, and until then its
    // accessors answer as for a fresh directory.
    void Reset();
    // Traffic thread: the program's entry as read so far, null when the PAT
    // has not listed it.
    const SListedProgram* Find(uint16_t program) const;

    // Traffic thread: the version and the continuity counter of the latest
    // PAT packet and section seen; -1 before any.
    int LatestPatVersion() const { return ResetPending() ? -1 : m_nLatestPatVersion; }
    int LatestPatContinuity() const { return ResetPending() ? -1 : m_nLatestPatContinuity; }

    // Server thread: the latest published list.
    void Snapshot(SProgramList& out);
    // Server thread: whether the latest published PAT lists `program`.
    bool Lists(uint16_t program);

private:
    bool ResetPending() const { return m_nResets.load(std::memory_order_acquire) != m_nResetsDone; }
    void Forget();
    void OnPat(const unsigned char* section, int length);
    void OnSdt(const unsigned char* section, int length);
    void Publish();

    SProgramList m_Working;                 // traffic thread's list
    SProgramList m_Published;               // the server's copy, under m_Busy
    std::atomic<bool> m_Busy{false};        // one side is inside m_Published
    bool m_bDirty = false;                  // m_Working changed since it was published
    std::atomic<uint32_t> m_nResets{0};     // Reset calls
    uint32_t m_nResetsDone = 0;             // traffic thread: those m_Working has followed
    int m_nLatestPatVersion = -1;           // traffic thread only
    int m_nLatestPatContinuity = -1;        // traffic thread only
    uint32_t m_nPatCrc = 0;                 // of the latest PAT section 0 read (repeats skipped)
    unsigned char m_PatBuffer[kMaxPsiSectionSize];
    CSectionAssembler m_Pat{m_PatBuffer, kMaxPsiSectionSize};
    unsigned char m_SdtBuffer[kMaxSiSectionSize];
    CSectionAssembler m_Sdt{m_SdtBuffer, kMaxSiSectionSize};
};
