// Several outputs: the start's checks across them, the names in refusals,
// and the dialog's line while they run.

#include "writer/PidDataWriter.h"

#include <cstring>

#include "settings/OutputKey.h"

void NameOutputRefusal(int number, SendRefusalText& refusal)
{
    SendRefusalText reason;
    std::memcpy(reason, refusal, sizeof reason);
    reason[kSendRefusalCapacity - 1] = 0;
    if (reason[0] >= L'A' && reason[0] <= L'Z' && reason[1] >= L'a' && reason[1] <= L'z')
        reason[0] = static_cast<wchar_t>(reason[0] - L'A' + L'a');
    wchar_t named[kSendRefusalCapacity + 16];
    wsprintfW(named, L"Output%d: %s", number, reason);
    named[kSendRefusalCapacity - 1] = 0;
    std::memcpy(refusal, named, sizeof refusal);
}

void CPidDataWriter::NameRefusal(const COutput& output)
{
    if (output.Number() != 1)
        NameOutputRefusal(output.Number(), m_szStartRefusal);
}

// Every output as output 1 is checked (its address, source, FEC), then the
// outputs against each other: nothing is registered or opened before all pass.
bool CPidDataWriter::CheckOutputs()
{
    if (!LoadOutputKeys())
        return false;
    for (int i = 0; i < m_nOutputs; ++i)
    {
        if (!m_Active[i]->CheckStart(m_szStartRefusal))
        {
            NameRefusal(*m_Active[i]);
            m_nOutputs = 1;
            return false;
        }
    }
    if (RefuseCollidingOutputs())
    {
        m_nOutputs = 1;
        return false;
    }
    return true;
}

// Two outputs whose datagrams would meet at one address and port: a receiver
// there would get both streams mixed.
bool CPidDataWriter::RefuseCollidingOutputs()
{
    for (int i = 1; i < m_nOutputs; ++i)
    {
        for (int j = 0; j < i; ++j)
        {
            wchar_t reason[kOutputKeyErrorCapacity];
            if (!OutputCollisionReason(m_Active[i]->Settings(), m_Active[j]->Settings(), m_Active[j]->Number(), reason))
                continue;
            static_assert(kOutputKeyErrorCapacity + 16 <= kSendRefusalCapacity, "a reason fits the start's");
            wsprintfW(m_szStartRefusal, L"Output%d: %s", m_Active[i]->Number(), reason);
            return true;
        }
    }
    return false;
}

// "Sends to 4 outputs: 3 programs, 1 complete TS": while several run.
bool CPidDataWriter::FormatOutputsLine(wchar_t* text) const
{
    if (!Streaming() || m_nOutputs < 2)
        return false;
    int programs = 0;
    for (int i = 0; i < m_nOutputs; ++i)
        programs += m_Active[i]->RunPrograms().Count > 0 ? 1 : 0;
    const int complete = m_nOutputs - programs;
    wchar_t parts[64] = L"";
    if (programs > 0)
        wsprintfW(parts, L"%d program%s", programs, programs > 1 ? L"s" : L"");
    if (complete > 0)
        wsprintfW(parts + lstrlenW(parts), L"%s%d complete TS", programs > 0 ? L", " : L"", complete);
    wsprintfW(text, L"Sends to %d outputs: %s", m_nOutputs, parts);
    return true;
}
