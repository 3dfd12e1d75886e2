#include "programs/ProgramDirectory.h"

#include <cstring>
#include <thread>

#include "psi/PatTable.h"
#include "psi/SdtTable.h"

namespace
{
uint32_t CrcOf(const unsigned char* section, int length)
{
    const unsigned char* crc = section + length - kSectionCrcSize;
    return static_cast<uint32_t>(crc[0]) << 24 | static_cast<uint32_t>(crc[1]) << 16 |
           static_cast<uint32_t>(crc[2]) << 8 | crc[3];
}

// True when the field changed.
bool CopyText(const unsigned char* text, int length, unsigned char (&field)[kServiceTextMaxBytes], uint8_t& used)
{
    if (text == nullptr || length < 0)
        length = 0;
    if (length > kServiceTextMaxBytes)
        length = kServiceTextMaxBytes;
    if (used == length && (length == 0 || std::memcmp(field, text, static_cast<size_t>(length)) == 0))
        return false;
    if (length > 0)
        std::memcpy(field, text, static_cast<size_t>(length));
    used = static_cast<uint8_t>(length);
    return true;
}
}  // namespace

CProgramDirectory::CProgramDirectory() = default;

void CProgramDirectory::Reset()
{
    m_nResets.fetch_add(1, std::memory_order_release);
    // The server's side, as the server takes it.
    bool expected = false;
    while (!m_Busy.compare_exchange_weak(expected, true, std::memory_order_acquire))
    {
        expected = false;
        std::this_thread::yield();  // the traffic thread or the server is inside for one memcpy
    }
    m_Published.nPrograms = 0;
    m_Published.TransportStreamId = 0;
    m_Published.OriginalNetworkId = 0;
    m_Busy.store(false, std::memory_order_release);
}

// Traffic thread.
void CProgramDirectory::Forget()
{
    m_nResetsDone = m_nResets.load(std::memory_order_acquire);
    m_Pat.Reset();
    m_Sdt.Reset();
    m_Working.nPrograms = 0;
    m_Working.TransportStreamId = 0;
    m_Working.OriginalNetworkId = 0;
    m_nPatCrc = 0;
    m_nLatestPatVersion = -1;
    m_nLatestPatContinuity = -1;
    m_bDirty = true;
    Publish();
}

const SListedProgram* CProgramDirectory::Find(uint16_t program) const
{
    if (ResetPending())
        return nullptr;
    for (int i = 0; i < m_Working.nPrograms; ++i)
        if (m_Working.Programs[i].ProgramNumber == program)
            return &m_Working.Programs[i];
    return nullptr;
}

void CProgramDirectory::Observe(const unsigned char* packet)
{
    const uint16_t pid = PacketPid(packet);
    if (pid != kPatPid && pid != kSdtPid)
        return;
    if (ResetPending())
        Forget();
    if (pid == kPatPid && (packet[3] & 0x10) != 0)
        m_nLatestPatContinuity = packet[3] & 0x0F;  // a packet with payload
    CSectionAssembler& assembler = pid == kPatPid ? m_Pat : m_Sdt;
    assembler.Start(packet);
    int length = 0;
    while (const unsigned char* section = assembler.Next(length))
    {
        if (pid == kPatPid)
            OnPat(section, length);
        else
            OnSdt(section, length);
    }
    if (m_bDirty)
        Publish();
}

void CProgramDirectory::OnPat(const unsigned char* section, int length)
{
    if (!IsValidPat(section, length) || !SectionIsCurrent(section))
        return;
    m_nLatestPatVersion = SectionVersion(section);
    const uint32_t crc = CrcOf(section, length);
    if (SectionNumber(section) == 0 && crc == m_nPatCrc)
        return;  // a repetition
    const int before = m_Working.nPrograms;
    bool changed = false;
    if (SectionNumber(section) == 0)
    {
        m_nPatCrc = crc;
        changed = m_Working.TransportStreamId != SectionTableIdExtension(section);
        m_Working.TransportStreamId = SectionTableIdExtension(section);
        // A new PAT: programs it no longer lists go; the names of those it
        // still lists stay until the SDT says otherwise.
        SProgramList& list = m_Working;
        int kept = 0;
        const int entries = PatEntryCount(length);
        for (int i = 0; i < list.nPrograms; ++i)
        {
            bool listed = false;
            for (int e = 0; e < entries && !listed; ++e)
                listed = PatProgramNumber(section, e) == list.Programs[i].ProgramNumber;
            if (listed)
            {
                if (kept != i)
                    list.Programs[kept] = list.Programs[i];
                ++kept;
            }
        }
        changed = changed || kept != list.nPrograms;
        list.nPrograms = kept;
    }
    for (int e = 0; e < PatEntryCount(length); ++e)
    {
        const uint16_t number = PatProgramNumber(section, e);
        if (number == 0)
            continue;  // the NIT's entry, not a program
        bool known = false;
        for (int i = 0; i < m_Working.nPrograms && !known; ++i)
            known = m_Working.Programs[i].ProgramNumber == number;
        if (known || m_Working.nPrograms >= kMaxListedPrograms)
            continue;
        SListedProgram& program = m_Working.Programs[m_Working.nPrograms++];
        program.ProgramNumber = number;
        program.NameLength = 0;
        program.ProviderLength = 0;
        program.ServiceType = 0;
    }
    // Later sections of a PAT repeat without a check of their own: only a
    // change is published.
    m_bDirty = m_bDirty || changed || m_Working.nPrograms != before;
}

void CProgramDirectory::OnSdt(const unsigned char* section, int length)
{
    if (SectionTableId(section) != kSdtActualTableId || !IsValidSdt(section, length) || !SectionIsCurrent(section))
        return;
    if (SectionTableIdExtension(section) == m_Working.TransportStreamId &&
        SdtOriginalNetworkId(section) != m_Working.OriginalNetworkId)
    {
        m_Working.OriginalNetworkId = SdtOriginalNetworkId(section);
        m_bDirty = true;
    }
    // Read at every repetition (every 2 s at most): a program the PAT
    // lists later gets its name from the next one.
    int offset = 0;
    SSdtService service;
    while (SdtNextService(section, length, offset, service))
    {
        SServiceNames names;
        if (!SdtServiceNames(service, names))
            continue;
        for (int i = 0; i < m_Working.nPrograms; ++i)
        {
            SListedProgram& program = m_Working.Programs[i];
            if (program.ProgramNumber != service.ServiceId)
                continue;
            const bool name = CopyText(names.Name, names.NameLength, program.Name, program.NameLength);
            const bool provider =
                CopyText(names.Provider, names.ProviderLength, program.Provider, program.ProviderLength);
            const bool type = program.ServiceType != names.ServiceType;
            program.ServiceType = names.ServiceType;
            m_bDirty = m_bDirty || name || provider || type;
        }
    }
}

void CProgramDirectory::Publish()
{
    bool expected = false;
    if (!m_Busy.compare_exchange_strong(expected, true, std::memory_order_acquire))
        return;  // the server is copying: the next table packet publishes
    m_Published.TransportStreamId = m_Working.TransportStreamId;
    m_Published.OriginalNetworkId = m_Working.OriginalNetworkId;
    m_Published.nPrograms = m_Working.nPrograms;
    std::memcpy(m_Published.Programs, m_Working.Programs, sizeof(SListedProgram) * m_Working.nPrograms);
    m_Busy.store(false, std::memory_order_release);
    m_bDirty = false;
}

void CProgramDirectory::Snapshot(SProgramList& out)
{
    bool expected = false;
    while (!m_Busy.compare_exchange_weak(expected, true, std::memory_order_acquire))
    {
        expected = false;
        std::this_thread::yield();  // the traffic thread is inside for one memcpy
    }
    out.TransportStreamId = m_Published.TransportStreamId;
    out.OriginalNetworkId = m_Published.OriginalNetworkId;
    out.nPrograms = m_Published.nPrograms;
    std::memcpy(out.Programs, m_Published.Programs, sizeof(SListedProgram) * m_Published.nPrograms);
    m_Busy.store(false, std::memory_order_release);
}

bool CProgramDirectory::Lists(uint16_t program)
{
    bool expected = false;
    while (!m_Busy.compare_exchange_weak(expected, true, std::memory_order_acquire))
    {
        expected = false;
        std::this_thread::yield();
    }
    bool listed = false;
    for (int i = 0; i < m_Published.nPrograms && !listed; ++i)
        listed = m_Published.Programs[i].ProgramNumber == program;
    m_Busy.store(false, std::memory_order_release);
    return listed;
}
