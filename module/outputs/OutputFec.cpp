// Column and row parity beside an output's media datagrams, when its FEC
// setting asks for it: the start's checks and the two FEC destinations.

#include "outputs/Output.h"

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
bool RefuseFecSettings(const SOutputSettings& settings, SendRefusalText& refusal)
{
    if (settings.Send.Fec.Columns == 0)
        return false;
    if (settings.Send.Protocol != EDatagramFraming::Rtp)
        wsprintfW(refusal, L"%s", kFecNeedsRtp);
    else if (settings.Port > kHighestFecMediaPort)
        wsprintfW(refusal, kFecPortTooHigh, kHighestFecMediaPort);
    else
        return false;
    return true;
}

bool COutput::RefuseFecStart(SendRefusalText& refusal) const
{
    return RefuseFecSettings(m_Settings, refusal);
}

// Under the lock, at the start of a run.
void COutput::BeginFec(const sockaddr_in& destination)
{
    m_FecColumnAddr = destination;
    m_FecColumnAddr.sin_port = htons(static_cast<u_short>(ntohs(destination.sin_port) + kFecColumnPortOffset));
    m_FecRowAddr = destination;
    m_FecRowAddr.sin_port = htons(static_cast<u_short>(ntohs(destination.sin_port) + kFecRowPortOffset));
}

// FEC packets go through the media's socket, counted with the media's datagrams.
const sockaddr_in& COutput::FecAddress(EFecDirection direction) const
{
    return direction == EFecDirection::Column ? m_FecColumnAddr : m_FecRowAddr;
}
