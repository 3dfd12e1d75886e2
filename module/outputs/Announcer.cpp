// The rounds of announcements across the running outputs.

#include "outputs/Announcer.h"

#include <windows.h>

#include "psi/DvbText.h"
#include "sap/SapAnnouncement.h"

namespace
{
constexpr uint32_t kFirstAnnouncementDelayMs = 1000;

// A broadcast text as UTF-8 for an announcement; empty when unknown.
void AnnouncedText(const unsigned char* text, int length, char (&out)[kSapTextCapacity])
{
    out[0] = 0;
    if (length > 0)
        DvbTextToUtf8(text, static_cast<size_t>(length), out, sizeof out);
}
}  // namespace

void CAnnouncer::Begin(COutput* const* outputs, int count)
{
    m_bRun = false;
    for (int i = 0; i < count; ++i)
        m_bRun = m_bRun || outputs[i]->Announces();
    m_dwNextAnnounce = GetTickCount() + kFirstAnnouncementDelayMs;
}

// One round: each announcing output with its program's service name and
// provider when it carries one program, else the module's name. The next
// round waits so long that all rounds together stay below the rate that
// SAP allows a scope.
void CAnnouncer::AnnounceRound(COutput* const* outputs, int count, const CProgramDirectory* programs)
{
    const uint32_t now = GetTickCount();
    if (static_cast<int32_t>(now - m_dwNextAnnounce) < 0)
        return;
    int sent = 0;
    for (int i = 0; i < count; ++i)
    {
        COutput& output = *outputs[i];
        if (!output.Announces())
            continue;
        char name[kSapTextCapacity] = "";
        char provider[kSapTextCapacity] = "";
        const SProgramSelection& selection = output.RunPrograms();
        if (selection.Count == 1)
        {
            const SListedProgram* listed = programs != nullptr ? programs->Find(selection.Numbers[0]) : nullptr;
            if (listed != nullptr)
            {
                AnnouncedText(listed->Name, listed->NameLength, name);
                AnnouncedText(listed->Provider, listed->ProviderLength, provider);
            }
        }
        sent += output.Announce(name, provider);
    }
    m_dwNextAnnounce = now + SapIntervalMs(sent);
}
