// The URL server's side of the module object: its start beside the
// stream's, and its line in the dialog. Its keys are read with the others.

#include "writer/PidDataWriter.h"

#include <cstring>

#include "settings/HttpOptions.h"
#include "net/UdpSender.h"

namespace
{
constexpr wchar_t kHttpLineFormat[] = L"udp://%s:%d + %s : %d viewer%s";
}  // namespace

// True when the start may go on: no server wanted, or it listens now.
bool CPidDataWriter::StartHttpServer()
{
    LoadHttpOptions();
    if (m_HttpOptions.Port == 0)
        return true;
    // As for LocalIPAddress: a server on another interface than the user
    // named, or on every one, is worse than none.
    if (m_HttpOptions.HasAddress != 0 &&
        !CheckAddressOfThisMachine(L"Cannot listen on", m_HttpOptions.szAddress, m_HttpOptions.Address,
                                   HttpAddressMalformed(m_HttpOptions), m_szStartRefusal))
        return false;
    wchar_t refusal[kHttpRefusalCapacity];
    if (!m_HttpServer.Start(m_HttpOptions, refusal))
    {
        static_assert(kHttpRefusalCapacity <= kSendRefusalCapacity, "a refusal fits the start's");
        std::memcpy(m_szStartRefusal, refusal, sizeof refusal);
        return false;
    }
    return true;
}

// The running outputs, for the server's "/output/<k>.sdp" and its page:
// after they began, and again when the programs of output 1 change.
void CPidDataWriter::ServeOutputDescriptions()
{
    if (!m_HttpServer.Running())
        return;
    static_assert(kMaxServedOutputs >= kMaxOutputs, "the server describes every output");
    SServedOutputs outputs;
    for (int i = 0; i < m_nOutputs && i < kMaxOutputs; ++i)
        m_Active[i]->Describe(outputs.Items[outputs.Count++]);
    m_HttpServer.UseOutputs(outputs);
}

bool CPidDataWriter::FormatHttpUrl(wchar_t (&url)[kHttpUrlCapacity]) const
{
    url[0] = 0;
    if (!m_HttpServer.Running() || !Streaming())
        return false;
    m_HttpServer.FormatUrl(url);
    return url[0] != 0;
}

bool CPidDataWriter::SnapshotHttpViewers(SHttpViewerSnapshot& viewers) const
{
    viewers.Count = 0;
    if (!m_HttpServer.Running() || !Streaming())
        return false;
    m_HttpServer.SnapshotViewers(viewers);
    return true;
}

bool CPidDataWriter::SnapshotGuideNow(SGuideNowList& events) const
{
    events.Count = 0;
    if (!m_HttpServer.Running() || !Streaming())
        return false;
    m_HttpServer.SnapshotGuideNow(events);
    return true;
}

// The dialog's line while the URL server runs: where the stream goes, the
// address to open and the viewers; some 70 characters at most.
bool CPidDataWriter::FormatHttpLine(wchar_t* text) const
{
    if (!m_HttpServer.Running() || m_bStreaming.load(std::memory_order_relaxed) == 0)
        return false;
    wchar_t url[kHttpUrlCapacity];
    m_HttpServer.FormatUrl(url);
    const int viewers = m_HttpServer.Viewers();
    const SOutputSettings& settings = First().Settings();
    wsprintfW(text, kHttpLineFormat, settings.szAddress, static_cast<int>(settings.Port), url, viewers,
              viewers == 1 ? L"" : L"s");
    return true;
}
