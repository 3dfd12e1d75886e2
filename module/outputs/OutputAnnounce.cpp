// An output's session announcements (Announce=1): for a multicast
// destination, SAP messages with its description to the announcement group
// of its scope, through its own socket, so from its interface and with its
// TTL; the deletion at Stop. The same description of every output, for the
// URL server's "/output/<k>.sdp".

#include "outputs/Output.h"

#include <cstring>

// What a description of the output says apart from its name: destination,
// framing, parity, and the address it is sent from (LocalIPAddress, else the
// route's). One session per output and port, the same across Stop and Start.
SSapSession COutput::Session() const
{
    SSapSession s;
    std::memcpy(s.Group, &m_StartAddr.sin_addr, 4);
    if (m_Settings.Send.HasLocalAddress != 0)
        std::memcpy(s.Origin, m_Settings.Send.LocalAddress, 4);
    else
        RouteSourceAddress(m_StartAddr, s.Origin);
    s.Port = m_Settings.Port;
    s.Ttl = m_Settings.Send.Ttl;
    s.Rtp = m_Settings.Send.Protocol == EDatagramFraming::Rtp;
    s.Fec = s.Rtp && m_Settings.Send.Fec.Columns != 0;
    s.SessionId = static_cast<uint32_t>(m_Settings.Port) << 8 | static_cast<uint32_t>(m_nNumber);
    return s;
}

void COutput::Describe(SServedOutput& output) const
{
    output.Number = m_nNumber;
    const SProgramSelection& programs = RunPrograms();
    output.nPrograms = programs.Count;
    output.Program = programs.Count == 1 ? programs.Numbers[0] : 0;
    // As it runs, not as the keys read since say: those take effect at
    // the next Start, and a receiver given them would wait for nothing.
    output.Session = m_RunSession;
}

// At Begin, before the lock: what the announcements will say apart from the
// name. Unicast and broadcast outputs are not announced: only their one
// receiver could use them.
void COutput::PrepareAnnouncement(bool announce)
{
    m_bAnnounce = false;
    m_bAnnounced = false;
    m_Announced = SSapSession();
    uint8_t group[4];
    uint8_t sapGroup[4];
    std::memcpy(group, &m_StartAddr.sin_addr, 4);
    if (!announce || !SapGroupFor(group, sapGroup))
        return;
    m_SapAddr = sockaddr_in();
    m_SapAddr.sin_family = AF_INET;
    m_SapAddr.sin_port = htons(kSapPort);
    std::memcpy(&m_SapAddr.sin_addr, sapGroup, 4);
    m_Announced = Session();
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
