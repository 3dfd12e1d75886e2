#include "writer/PidDataWriter.h"

#include <cstring>

#include "host/HostValues.h"

using namespace KelvModuleApi2;

CPidDataWriter::CPidDataWriter(const SCreateModuleParams* params)
    : m_Dialog(*this),
      m_CreateParams(),
      m_bStreaming(0),
      m_nFilterHandle(0),
      m_dwStartTick(0),
      m_llTotalBytes(0),
      m_WsaData(),
      m_nWsaStartups(0),
      m_szStartRefusal(),
      m_HttpOptions(),
      m_HttpServer(),
      m_Outputs(),
      m_pProgramDirectory(),
      m_Active(),
      m_nOutputs(1),
      m_Announcer()
{
    std::memcpy(&m_CreateParams, params, sizeof m_CreateParams);
    for (int i = 0; i < kMaxOutputs; ++i)
        m_Outputs[i].Attach(i + 1, m_cs, m_llTotalBytes);
    m_Active[0] = &m_Outputs[0];
    LoadOptions();
}

CPidDataWriter::~CPidDataWriter()
{
    // The socket is closed before the socket library is released, and only
    // the starts this object made are released: an unmatched WSACleanup would
    // shut down sockets of the host or of other module objects.
    StopWrite();
    for (; m_nWsaStartups > 0; --m_nWsaStartups)
        WSACleanup();
    SaveOptions();
}

const char* CPidDataWriter::GetReceiverName()
{
    return "PidDataWriter";
}

void CPidDataWriter::SetTransponder(ChListFormat::TChannelInfoStruct*, SSetTransponderAdditionParams*) {}

void CPidDataWriter::SendCommand(const wchar_t*) {}

void CPidDataWriter::UpdateOpenedChannels(ChListFormat::TChannelInfoStruct*, int, SModuleInfo::EEngineTransportType)
{
    StopWrite();
}
