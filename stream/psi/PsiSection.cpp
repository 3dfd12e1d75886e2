#include "psi/PsiSection.h"

#include <cstring>

namespace
{
struct SCrcTable
{
    uint32_t Values[256];

    constexpr SCrcTable() : Values()
    {
        for (uint32_t byte = 0; byte < 256; ++byte)
        {
            uint32_t crc = byte << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
            Values[byte] = crc;
        }
    }
};
constexpr SCrcTable kCrcTable;

constexpr int kPacketHeaderSize = 4;
}

uint32_t Crc32Mpeg(const unsigned char* data, int length, uint32_t crc)
{
    for (int i = 0; i < length; ++i)
        crc = (crc << 8) ^ kCrcTable.Values[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

bool IsValidLongSection(const unsigned char* section, int length)
{
    return length >= kMinLongSectionSize && SectionHasSyntax(section) &&
           kSectionHeaderSize + SectionLength(section) == length && Crc32Mpeg(section, length) == 0;
}

bool LoopEntriesFit(const unsigned char* section, int begin, int end, int headerSize, int lengthAt)
{
    while (begin < end)
    {
        if (end - begin < headerSize)
            return false;
        const unsigned char* length = section + begin + lengthAt;
        begin += headerSize + (((length[0] & 0x0F) << 8) | length[1]);
    }
    return begin == end;
}

void WriteLongSectionHeader(unsigned char* section, unsigned char tableId, uint16_t tableIdExtension,
                            int version, int sectionNumber, int lastSectionNumber)
{
    section[0] = tableId;
    section[1] = 0xB0;  // syntax 1, '0', reserved 11; the length follows later
    section[2] = 0x00;
    section[3] = static_cast<unsigned char>(tableIdExtension >> 8);
    section[4] = static_cast<unsigned char>(tableIdExtension & 0xFF);
    section[5] = static_cast<unsigned char>(0xC0 | ((version & 0x1F) << 1) | 0x01);  // current
    section[6] = static_cast<unsigned char>(sectionNumber);
    section[7] = static_cast<unsigned char>(lastSectionNumber);
}

void FinishLongSection(unsigned char* section, int length)
{
    const int sectionLength = length - kSectionHeaderSize;
    section[1] = static_cast<unsigned char>((section[1] & 0xF0) | ((sectionLength >> 8) & 0x0F));
    section[2] = static_cast<unsigned char>(sectionLength & 0xFF);
    const uint32_t crc = Crc32Mpeg(section, length - kSectionCrcSize);
    unsigned char* field = section + length - kSectionCrcSize;
    field[0] = static_cast<unsigned char>(crc >> 24);
    field[1] = static_cast<unsigned char>((crc >> 16) & 0xFF);
    field[2] = static_cast<unsigned char>((crc >> 8) & 0xFF);
    field[3] = static_cast<unsigned char>(crc & 0xFF);
}

CSectionAssembler::CSectionAssembler(unsigned char* buffer, int capacity)
    : m_pBuffer(buffer), m_nCapacity(capacity)
{
}

void CSectionAssembler::Reset()
{
    m_bCollecting = false;
    m_nLastCounter = -1;
    m_bDuplicateSeen = false;
    m_pPacket = nullptr;
    m_nEnd = 0;
}

void CSectionAssembler::Start(const unsigned char* packet)
{
    m_pPacket = packet;
    m_nPosition = 0;
    m_nEnd = 0;  // nothing to read unless the checks below find a payload

    if (packet[1] & 0x80)  // transport_error_indicator: the bytes cannot be trusted
    {
        m_bCollecting = false;
        return;
    }
    const int adaptationControl = (packet[3] >> 4) & 0x03;
    if ((adaptationControl & 0x01) == 0)  // no payload: the counter does not advance
        return;

    const int counter = packet[3] & 0x0F;
    if (counter == m_nLastCounter)
    {
        // One repetition is a duplicate; a second one is a counter that is stuck.
        if (!m_bDuplicateSeen)
        {
            m_bDuplicateSeen = true;
            return;
        }
        m_bCollecting = false;
    }
    else if (m_nLastCounter >= 0 && counter != ((m_nLastCounter + 1) & 0x0F))
        m_bCollecting = false;  // packets were lost in the middle of the section
    if (counter != m_nLastCounter)
        m_bDuplicateSeen = false;
    m_nLastCounter = counter;

    int position = kPacketHeaderSize;
    if (adaptationControl == 0x03)
        position += 1 + packet[kPacketHeaderSize];
    if (position >= kTsPacketSize)  // no payload byte left (or a broken adaptation field)
        return;

    m_bUnitStart = (packet[1] & 0x40) != 0;
    if (m_bUnitStart)
    {
        const int pointer = packet[position];
        position += 1;
        if (position + pointer > kTsPacketSize)
        {
            m_bCollecting = false;
            return;
        }
        m_nStartsAt = position + pointer;
        if (pointer == 0)
            m_bCollecting = false;  // a section starts at once: the one in progress was cut short
    }
    m_nPosition = position;
    m_nEnd = kTsPacketSize;
}

const unsigned char* CSectionAssembler::Next(int& length)
{
    while (m_nPosition < m_nEnd)
    {
        if (!m_bCollecting)
        {
            if (!m_bUnitStart)
                break;  // only a packet with a pointer_field begins sections
            if (m_nPosition < m_nStartsAt)
                m_nPosition = m_nStartsAt;  // the tail of a section we do not have
            if (m_nPosition >= m_nEnd || m_pPacket[m_nPosition] == kStuffingByte)
                break;
            m_bCollecting = true;
            m_nUsed = 0;
            m_nTotal = 0;
        }

        // Before the pointer_field's target only the section in progress may
        // continue; a new one begins there.
        const bool beforeStart = m_bUnitStart && m_nPosition < m_nStartsAt;
        const int limit = beforeStart ? m_nStartsAt : m_nEnd;
        const int wanted = (m_nTotal != 0 ? m_nTotal : kSectionHeaderSize) - m_nUsed;
        const int available = limit - m_nPosition;
        const int taken = available < wanted ? available : wanted;
        std::memcpy(m_pBuffer + m_nUsed, m_pPacket + m_nPosition, static_cast<size_t>(taken));
        m_nUsed += taken;
        m_nPosition += taken;

        if (m_nTotal == 0 && m_nUsed == kSectionHeaderSize)
        {
            m_nTotal = kSectionHeaderSize + SectionLength(m_pBuffer);
            if (m_nTotal > m_nCapacity)
            {
                // Too long for its table: where it ends is not worth trusting.
                m_bCollecting = false;
                m_nPosition = m_nEnd;
                break;
            }
        }
        if (m_nTotal != 0 && m_nUsed == m_nTotal)
        {
            m_bCollecting = false;
            length = m_nTotal;
            return m_pBuffer;
        }
        if (taken < wanted && beforeStart)
            m_bCollecting = false;  // cut short by the next section's start
    }
    m_nPosition = m_nEnd;
    return nullptr;
}

void CSectionWriter::Reset(uint16_t pid)
{
    m_nPid = pid;
    m_nCounter = 0;
}

void CSectionWriter::Write(const unsigned char* section, int length, IPacketSink& sink)
{
    unsigned char packet[kTsPacketSize];
    int written = 0;
    bool first = true;
    while (written < length)
    {
        packet[0] = kTsSyncByte;
        packet[1] = static_cast<unsigned char>((first ? 0x40 : 0x00) | (m_nPid >> 8));
        packet[2] = static_cast<unsigned char>(m_nPid & 0xFF);
        packet[3] = static_cast<unsigned char>(0x10 | m_nCounter);  // payload only
        m_nCounter = (m_nCounter + 1) & 0x0F;
        int position = kPacketHeaderSize;
        if (first)
            packet[position++] = 0;  // pointer_field: the section starts right here
        const int room = kTsPacketSize - position;
        const int taken = length - written < room ? length - written : room;
        std::memcpy(packet + position, section + written, static_cast<size_t>(taken));
        position += taken;
        written += taken;
        std::memset(packet + position, kStuffingByte, static_cast<size_t>(kTsPacketSize - position));
        sink.PutPacket(packet);
        first = false;
    }
}
