// An output's session announcements (Announce=1): for a multicast
// destination, SAP messages with its description to the announcement group
// of its scope, through its own socket, so from its interface and with its
// TTL; the deletion at Stop.

#include "Output.h"

#include <cstring>

namespace
{
// The address this PC sends to `destination` from: the route's, asked of a
// socket that is connected but never sends. 0.0.0.0 when the system cannot say.
void SourceAddressFor(const sockaddr_in& destination, uint8_t (&address)[4])
{
    std::memset(address, 0, 4);
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET)
        return;
    sockaddr_in local{};
    int length = sizeof local;
    if (connect(probe, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        std::memcpy(address, &local.sin_addr, 4);
    closesocket(probe);
}
}  // namespace

// At Begin, before the lock: what the announcements will say apart from the
// name. Unicast and broadcast outputs are not announced: only their one
// receiver could use them.
void COutput::PrepareAnnouncement(bool announce)
{
    m_bAnnounce = false;
    m_bAnnounced = false;
    SSapSession& s = m_Announced;
    s = SSapSession();
    std::memcpy(s.Group, &m_StartAddr.sin_addr, 4);
    uint8_t sapGroup[4];
    if (!announce || !SapGroupFor(s.Group, sapGroup))
        return;
    m_SapAddr = sockaddr_in();
    m_SapAddr.sin_family = AF_INET;
    m_SapAddr.sin_port = htons(kSapPort);
    std::memcpy(&m_SapAddr.sin_addr, sapGroup, 4);
    if (m_Settings.Send.HasLocalAddress != 0)
        std::memcpy(s.Origin, m_Settings.Send.LocalAddress, 4);
    else
        SourceAddressFor(m_StartAddr, s.Origin);
    s.Port = m_Settings.Port;
    s.Ttl = m_Settings.Send.Ttl;
    s.Rtp = m_Settings.Send.Protocol == EDatagramFraming::Rtp;
    s.Fec = s.Rtp && m_Settings.Send.Fec.Columns != 0;
    // One session per output and port, the same across Stop and Start.
    s.SessionId = static_cast<uint32_t>(m_Settings.Port) << 8 | static_cast<uint32_t>(m_nNumber);
    m_bAnnounce = true;
}

int COutput::SendAnnouncement(const SSapSession& session, bool deletion)
{
    unsigned char packet[kSapPacketCapacity];
    const int size = WriteSapPacket(session, deletion, packet, sizeof packet);
    if (size == 0 || !SendTo(m_SapAddr, packet, size))
        return 0;
    return size;
}

int COutput::Announce(const char* name, const char* provider)
{
    if (!m_bAnnounce)
        return 0;
    SafeCriticalSection guard(*m_pLock);
    if (m_Socket == INVALID_SOCKET)
        return 0;
    SSapSession next = m_Announced;
    int sent = 0;
    // A new name is a new description: the old one is withdrawn, so that
    // players do not list the output twice.
    if (RenameSession(next, name, provider) && m_bAnnounced)
        sent += SendAnnouncement(m_Announced, true);
    m_Announced = next;
    const int announced = SendAnnouncement(m_Announced, false);
    m_bAnnounced = m_bAnnounced || announced != 0;
    return sent + announced;
}
