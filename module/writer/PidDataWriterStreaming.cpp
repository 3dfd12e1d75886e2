// The stream: Start and Stop, and the traffic path from the host's blocks to
// the outputs.

#include "writer/PidDataWriter.h"

#include <cstring>
#include <new>


using namespace KelvModuleApi2;

namespace
{
constexpr int32_t kFilterRecordSize = 80;
constexpr int32_t kFilterValue60 = 5;
constexpr char kFilterName[] = "Tovrin TS Streamer";
static_assert(sizeof(kFilterName) == 19, "the filter name's zero sits at offset 26");
}  // namespace

// ---------------------------------------------------------------------------
// Streaming

bool CPidDataWriter::DeviceDeliversTransportStream()
{
    IDeviceModule* device = m_CreateParams.pDevice;
    if (device == nullptr)
        return false;
    SModuleInfo info;
    std::memset(&info, 0, sizeof info);
    info.Size = sizeof info;
    device->GetDeviceInfo(&info);
    return info.TransportType == SModuleInfo::ETT_TransportStream;
}

void CPidDataWriter::StartWrite()
{
    if (Streaming())
        return;
    StopWrite();
    m_szStartRefusal[0] = 0;
    // The optional keys are added by hand while the host runs: each Start
    // takes them as the INI file holds them now.
    LoadSendOptions();
    if (!DeviceDeliversTransportStream())
        return;
    if (!CheckOutputs())
        return;

    // A new stream, perhaps of another transponder: its own program list.
    if (m_pProgramDirectory == nullptr)
        m_pProgramDirectory.reset(new (std::nothrow) CProgramDirectory);
    if (m_pProgramDirectory != nullptr)
        m_pProgramDirectory->Reset();
    m_HttpServer.UseProgramDirectory(m_pProgramDirectory.get());

    // Before anything is registered: a port that cannot be had refuses the start.
    if (!StartHttpServer())
        return;

    m_llTotalBytes.store(0, std::memory_order_relaxed);
    m_dwStartTick.store(GetTickCount(), std::memory_order_relaxed);
    m_Dialog.ForgetLastStatus();

    SEngineFilter filter;
    std::memset(&filter, 0, sizeof filter);
    filter.Size = kFilterRecordSize;
    std::memcpy(filter.Name, kFilterName, sizeof kFilterName);
    filter.Value60 = kFilterValue60;
    filter.pReceiver = static_cast<SEngineFilter::IReceiver*>(this);
    m_nFilterHandle = m_CreateParams.pDevice->AddEngineFilter(&filter);
    // From here on traffic may arrive; it is dropped until the flag is set.

    m_Dialog.UpdateControlsEnable();

    if (WSAStartup(MAKEWORD(2, 2), &m_WsaData) == 0)
        ++m_nWsaStartups;
    for (int i = 0; i < m_nOutputs; ++i)
    {
        if (m_Active[i]->Open(m_szStartRefusal))
            continue;
        NameRefusal(*m_Active[i]);
        // A start without every socket must not look like a running stream.
        for (int opened = 0; opened < i; ++opened)
            m_Active[opened]->Abandon();
        if (m_nWsaStartups > 0)
        {
            WSACleanup();
            --m_nWsaStartups;
        }
        StopWrite();
        return;
    }
    for (int i = 0; i < m_nOutputs; ++i)
    {
        m_Active[i]->NameInLog(m_nOutputs > 1);
        // The URL server's viewers, the program list and the announcements'
        // names get the complete stream that output 1 sees.
        m_Active[i]->Begin(i == 0 ? &m_HttpServer : nullptr, i == 0 ? m_pProgramDirectory.get() : nullptr,
                           m_Announcer.Wanted());
    }
    m_Announcer.Begin(m_Active, m_nOutputs);
    ServeOutputDescriptions();
    // Release: a traffic call that sees the flag also sees every output's
    // chunk length and emptied aligner.
    m_bStreaming.store(1, std::memory_order_release);
}

void CPidDataWriter::StopWrite()
{
    m_cs.Lock();
    m_bStreaming.store(0, std::memory_order_relaxed);
    for (COutput& output : m_Outputs)
        output.Finish();  // the last matrix goes out before the socket closes
    m_cs.Unlock();

    // Outside the lock: the host may wait here for a traffic call to finish,
    // and that call may be waiting for the lock.
    if (m_nFilterHandle != 0)
    {
        if (m_CreateParams.pDevice != nullptr)
            m_CreateParams.pDevice->RemoveEngineFilter(m_nFilterHandle);
        m_nFilterHandle = 0;
    }
    m_HttpServer.Stop();  // every viewer's connection closes with it
}

void CPidDataWriter::EngineFilter_ReceiveTraffic(unsigned char* data, int length)
{
    ReceiveTraffic(data, length);
}

// Each output cuts, frames, protects and sends the block in turn; a failing
// output's sends return at once and hold no other back. The outputs change
// only at a start, before the flag is set.
void CPidDataWriter::ReceiveTraffic(unsigned char* data, int length)
{
    if (m_bStreaming.load(std::memory_order_acquire) == 0)
        return;
    const int outputs = m_nOutputs;
    for (int i = 0; i < outputs; ++i)
        m_Active[i]->Feed(data, length);
    m_Announcer.AnnounceWhenDue(m_Active, outputs, m_pProgramDirectory.get());
}
