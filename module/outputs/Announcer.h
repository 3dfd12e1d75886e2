#pragma once
// The rounds of session announcements (the Announce key): which run
// announces, when the next round is due, and the names each output's
// announcement carries. Each output sends its own announcement through its
// own socket (OutputAnnounce.cpp); this decides when, and with what name.

#include <cstdint>

#include "outputs/Output.h"
#include "programs/ProgramDirectory.h"

class CAnnouncer
{
public:
    // The optional Announce key, as last loaded: whether the next Start's
    // multicast outputs are announced.
    void SetWanted(bool announce) { m_bWanted = announce; }
    bool Wanted() const { return m_bWanted; }

    // At Start, once every output began: whether this run announces at all,
    // and the first round a second later, when the service description has
    // named the programs.
    void Begin(COutput* const* outputs, int count);

    // Traffic thread: a round once it is due.
    void AnnounceWhenDue(COutput* const* outputs, int count, const CProgramDirectory* programs)
    {
        if (m_bRun)
            AnnounceRound(outputs, count, programs);
    }

private:
    void AnnounceRound(COutput* const* outputs, int count, const CProgramDirectory* programs);

    bool m_bWanted = false;         // the optional Announce key, as last loaded
    bool m_bRun = false;            // the running stream announces its multicast outputs
    uint32_t m_dwNextAnnounce = 0;  // tick at which the next round of announcements is due
};
