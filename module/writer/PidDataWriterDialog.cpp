// The module object's side of the options dialog: the dialog opens from
// ShowOptionsDialog and asks for what it shows through IMainDialogModule.

#include "writer/PidDataWriter.h"

#include <cstring>

int CPidDataWriter::ShowOptionsDialog(HWND parent)
{
    LoadOptions();
    // While a stream runs the dialog shows what runs, not what the file holds
    // now (another object may have changed it). Closed with the stream still
    // running and nothing set in it, the dialog leaves that change in the file.
    const bool showsRunning = Streaming();
    if (showsRunning)
        First().TakeRunningSettings();
    if (m_Dialog.Run(parent, showsRunning))
        LoadOptions();
    else
        SaveOptions();
    return 0;
}

void CPidDataWriter::SetFirstOutputFields(const wchar_t (&address)[kAddressCapacity], uint16_t port, int packets)
{
    SOutputSettings& settings = First().Settings();
    static_assert(sizeof settings.szAddress == sizeof address, "the field and the setting are one size");
    std::memcpy(settings.szAddress, address, sizeof settings.szAddress);
    settings.Port = port;
    SetPacketsPerDatagram(packets);
}

void CPidDataWriter::SnapshotRefusals(SOutputRefusals& refusals)
{
    SafeCriticalSection guard(m_cs);
    refusals.Count = m_nOutputs;
    for (int i = 0; i < m_nOutputs; ++i)
    {
        const CSendFailures& failures = m_Active[i]->SendFailures();
        refusals.Items[i] = {m_Active[i]->Number(), failures.Refused(), failures.LastError()};
    }
}

bool CPidDataWriter::SnapshotPrograms(SProgramList& programs)
{
    if (m_pProgramDirectory == nullptr)
        return false;
    m_pProgramDirectory->Snapshot(programs);
    return true;
}
