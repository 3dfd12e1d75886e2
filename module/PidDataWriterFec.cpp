// Column and row parity beside the media datagrams, when the FEC key asks for
// it: the start's checks, the two FEC destinations, and the end of a run.

#include "PidDataWriter.h"

namespace
{
// Short: the dialog's line shows some 70 characters.
constexpr wchar_t kFecNeedsRtp[] = L"FEC needs RTP: Start refused with Protocol=UDP";
constexpr wchar_t kFecPortTooHigh[] = L"FEC sends to port + 2 and + 4: use a port up to %u";
constexpr unsigned kHighestFecMediaPort = 65535 - kFecRowPortOffset;
}  // namespace

// Parity is XOR over RTP payloads, which a receiver places by their sequence
// numbers: plain UDP has none. The FEC ports must exist too. A refusal comes
// before anything is registered with the host.
bool CPidDataWriter::RefuseFecStart()
{
    if (m_SendOptions.Fec.Columns == 0)
        return false;
    if (m_SendOptions.Protocol != EDatagramFraming::Rtp)
        wsprintfW(m_szStartRefusal, L"%s", kFecNeedsRtp);
    else if (m_wUdpPort > kHighestFecMediaPort)
        wsprintfW(m_szStartRefusal, kFecPortTooHigh, kHighestFecMediaPort);
    else
        return false;
    return true;
}

// Under m_cs, at the start of a run.
void CPidDataWriter::BeginFec(const sockaddr_in& destination)
{
    m_FecColumnAddr = destination;
    m_FecColumnAddr.sin_port = htons(static_cast<u_short>(ntohs(destination.sin_port) + kFecColumnPortOffset));
    m_FecRowAddr = destination;
    m_FecRowAddr.sin_port = htons(static_cast<u_short>(ntohs(destination.sin_port) + kFecRowPortOffset));
    m_Fec.Begin(m_SendOptions.Fec);
}

// Under m_cs: through the media's socket, counted with the media's datagrams.
void CPidDataWriter::SendFecPacket(EFecDirection direction, const unsigned char* packet, int size)
{
    const sockaddr_in& to = direction == EFecDirection::Column ? m_FecColumnAddr : m_FecRowAddr;
    auto send = [this, &to](const unsigned char* datagram, int length) { return SendTo(to, datagram, length); };
    m_SendFailures.Counting(send, GetTickCount, WSAGetLastError)(packet, size);
}

// Under m_cs, before the socket closes: the last matrix is completed and its
// parity sent, so that a loss among the last datagrams can be repaired too.
// The null-packet datagrams are not the host's traffic: the byte total leaves
// them out.
void CPidDataWriter::FinishFec()
{
    if (!m_Fec.Active())
        return;
    auto send = [this](const unsigned char* datagram, int size) { return SendTo(m_DestAddr, datagram, size); };
    auto sendFec = [this](EFecDirection direction, const unsigned char* packet, int size) {
        SendFecPacket(direction, packet, size);
    };
    CompleteFecMatrix(m_Fec, m_nChunkSize, m_wRtpSeq, m_dwRtpTimestamp, m_RtpTimestamps,
                      ProtectedBy(m_Fec, m_SendFailures.Counting(send, GetTickCount, WSAGetLastError), sendFec),
                      sendFec);
    m_Fec.End();
}
