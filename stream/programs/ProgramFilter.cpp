#include "programs/ProgramFilter.h"

#include <cstring>

#include "psi/EitTable.h"
#include "psi/PatTable.h"
#include "psi/PmtTable.h"
#include "psi/SdtTable.h"

namespace
{
// PIDs 0x0000-0x000F are reserved for tables of the standard itself; a PAT
// or PMT naming one of them (or the null PID) names nothing we can pass.
constexpr uint16_t kFirstAssignablePid = 0x0010;
constexpr uint16_t kLastAssignablePid = 0x1FFE;

bool IsAssignablePid(uint16_t pid) { return pid >= kFirstAssignablePid && pid <= kLastAssignablePid; }

// What identifies a long section's content for the version rule: every
// byte but version_number and the CRC.
uint32_t ContentChecksum(unsigned char* section, int length)
{
    const unsigned char versionByte = section[5];
    section[5] = static_cast<unsigned char>(versionByte & 0xC1);
    const uint32_t checksum = Crc32Mpeg(section, length - kSectionCrcSize);
    section[5] = versionByte;
    return checksum;
}

void SetVersion(unsigned char* section, int length, int version)
{
    section[5] = static_cast<unsigned char>((section[5] & 0xC1) | ((version & 0x1F) << 1));
    FinishLongSection(section, length);
}
}

CProgramFilter::CProgramFilter()
{
    SProgramSelection none{};
    Reset(none);
}

void CProgramFilter::Reset(const SProgramSelection& programs)
{
    // The selection, ascending, without 0 (the NIT's entry) and repeats.
    m_nPrograms = 0;
    const int count = programs.Count < 0 ? 0 : (programs.Count > kMaxSelectedPrograms ? kMaxSelectedPrograms : programs.Count);
    for (int i = 0; i < count; ++i)
    {
        const uint16_t number = programs.Numbers[i];
        if (number == 0 || IsSelected(number))
            continue;
        int at = m_nPrograms++;
        for (; at > 0 && m_Programs[at - 1].Number > number; --at)
            m_Programs[at].Number = m_Programs[at - 1].Number;
        m_Programs[at].Number = number;
    }
    for (int i = 0; i < m_nPrograms; ++i)
    {
        SProgram& program = m_Programs[i];
        program.Listed = false;
        program.PmtPid = 0;
        program.PatSection = 0;
        program.PidCount = 0;
        program.Pmt.Reset();
    }
    m_bWholeStream = m_nPrograms == 0;
    m_bStarted = false;
    m_bPatSeen = false;
    m_nTransportStreamId = 0;
    m_PatAssembler.Reset();
    m_PatWriter.Reset(kPatPid);
    m_nPatContent = 0;
    m_bPatWritten = false;
    m_nPatVersion = 0;
    m_SdtAssembler.Reset();
    m_SdtWriter.Reset(kSdtPid);
    std::memset(m_SdtWritten, 0, sizeof m_SdtWritten);
    m_nSdtVersion = 0;
    m_EitAssembler.Reset();
    m_EitWriter.Reset(kEitPid);
    RebuildPidRoles();
}

void CProgramFilter::Reselect(const SProgramSelection& programs, int sourcePatVersion, int sourcePatContinuity)
{
    const bool wasWholeStream = m_bWholeStream;
    const CSectionWriter patWriter = m_PatWriter;
    const CSectionWriter sdtWriter = m_SdtWriter;
    const CSectionWriter eitWriter = m_EitWriter;
    const int patVersion = m_nPatVersion;
    const bool patWritten = m_bPatWritten;
    const uint32_t patContent = m_nPatContent;
    const int sdtVersion = m_nSdtVersion;
    Reset(programs);
    if (wasWholeStream)
    {
        // Receivers know the source's PAT: the cut one follows it on PID 0
        // with the next counter and another version.
        if (sourcePatContinuity >= 0)
            m_PatWriter.ContinueAfter(sourcePatContinuity & 0x0F);
        m_nPatVersion = sourcePatVersion >= 0 ? (sourcePatVersion + 1) & 0x1F : 0;
        return;
    }
    m_PatWriter = patWriter;
    m_SdtWriter = sdtWriter;
    m_EitWriter = eitWriter;
    // The next PAT lists other programs, so its content differs from the
    // latest one written and it takes the next version.
    m_nPatVersion = patVersion;
    m_bPatWritten = patWritten;
    m_nPatContent = patContent;
    m_nSdtVersion = (sdtVersion + 1) & 0x1F;
}

void CProgramFilter::FeedSynced(const unsigned char* packet, IPacketSink& sink)
{
    const unsigned char role = m_PidRoles[PacketPid(packet)];
    if (role == kPass)
    {
        sink.PutPacket(packet);
        return;
    }
    if (role == kDrop)
        return;
    HandleTablePacket(packet, static_cast<EPidRole>(role), sink);
}

int CProgramFilter::ProgramsPresent() const
{
    if (!m_bPatSeen)
        return -1;
    int present = 0;
    for (int i = 0; i < m_nPrograms; ++i)
        present += m_Programs[i].Listed ? 1 : 0;
    return present;
}

int CProgramFilter::MissingPrograms(uint16_t* missing) const
{
    int count = 0;
    for (int i = 0; i < m_nPrograms; ++i)
    {
        if (!m_Programs[i].Listed)
            missing[count++] = m_Programs[i].Number;
    }
    return count;
}

void CProgramFilter::HandleTablePacket(const unsigned char* packet, EPidRole role, IPacketSink& sink)
{
    int length = 0;
    switch (role)
    {
    case kPat:
        m_PatAssembler.Start(packet);
        while (const unsigned char* section = m_PatAssembler.Next(length))
            OnPatSection(section, length, sink);
        break;
    case kPmt:
    {
        sink.PutPacket(packet);
        // Several programs may share one PMT PID, each with a section of its own.
        const uint16_t pid = PacketPid(packet);
        for (int i = 0; i < m_nPrograms; ++i)
        {
            SProgram& program = m_Programs[i];
            if (!program.Listed || program.PmtPid != pid)
                continue;
            program.Pmt.Start(packet);
            while (const unsigned char* section = program.Pmt.Next(length))
                OnPmtSection(program, section, length);
        }
        break;
    }
    case kSdt:
        m_SdtAssembler.Start(packet);
        while (const unsigned char* section = m_SdtAssembler.Next(length))
            OnSdtSection(section, length, sink);
        break;
    case kEit:
        m_EitAssembler.Start(packet);
        while (const unsigned char* section = m_EitAssembler.Next(length))
            OnEitSection(section, length, sink);
        break;
    default:
        break;
    }
}

void CProgramFilter::OnPatSection(const unsigned char* section, int length, IPacketSink& sink)
{
    if (!IsValidPat(section, length) || !SectionIsCurrent(section) ||
        SectionNumber(section) > SectionLastNumber(section))
        return;

    // A program stays listed until the section that listed it comes without
    // it, or the table no longer has that section.
    const int number = SectionNumber(section);
    const int lastNumber = SectionLastNumber(section);
    bool changed = !m_bStarted;
    for (int i = 0; i < m_nPrograms; ++i)
    {
        SProgram& program = m_Programs[i];
        uint16_t pmtPid = 0;
        if (PatFindPmtPid(section, length, program.Number, pmtPid) && IsAssignablePid(pmtPid))
        {
            if (!program.Listed || program.PmtPid != pmtPid)
            {
                // The PIDs of a moved PMT's program pass on until the PMT on
                // the new PID says otherwise.
                if (!program.Listed)
                    program.PidCount = 0;
                program.Pmt.Reset();
                program.Listed = true;
                program.PmtPid = pmtPid;
                changed = true;
            }
            program.PatSection = static_cast<unsigned char>(number);
        }
        else if (program.Listed && (program.PatSection == number || program.PatSection > lastNumber))
        {
            program.Listed = false;
            program.PidCount = 0;
            changed = true;
        }
    }
    m_nTransportStreamId = SectionTableIdExtension(section);
    m_bPatSeen = true;
    m_bStarted = true;
    if (changed)
        RebuildPidRoles();
    WriteOutputPat(sink);
}

void CProgramFilter::WriteOutputPat(IPacketSink& sink)
{
    uint16_t programs[kMaxSelectedPrograms];
    uint16_t pmtPids[kMaxSelectedPrograms];
    int count = 0;
    for (int i = 0; i < m_nPrograms; ++i)
    {
        if (!m_Programs[i].Listed)
            continue;
        programs[count] = m_Programs[i].Number;
        pmtPids[count] = m_Programs[i].PmtPid;
        ++count;
    }
    const int length = WritePat(m_Output, m_nTransportStreamId, m_nPatVersion, programs, pmtPids, count);
    const uint32_t content = ContentChecksum(m_Output, length);
    if (m_bPatWritten && content != m_nPatContent)
    {
        m_nPatVersion = (m_nPatVersion + 1) & 0x1F;
        SetVersion(m_Output, length, m_nPatVersion);
    }
    m_nPatContent = content;
    m_bPatWritten = true;
    m_PatWriter.Write(m_Output, length, sink);
}

void CProgramFilter::OnPmtSection(SProgram& program, const unsigned char* section, int length)
{
    if (!IsValidPmt(section, length) || !SectionIsCurrent(section) ||
        SectionTableIdExtension(section) != program.Number)
        return;
    uint16_t pids[kMaxPidsPerProgram];
    const int count = PmtCollectPids(section, length, pids, kMaxPidsPerProgram);
    if (count == program.PidCount &&
        std::memcmp(pids, program.Pids, static_cast<size_t>(count) * sizeof pids[0]) == 0)
        return;  // a repetition: nothing to change
    std::memcpy(program.Pids, pids, static_cast<size_t>(count) * sizeof pids[0]);
    program.PidCount = count;
    RebuildPidRoles();
}

void CProgramFilter::OnSdtSection(const unsigned char* section, int length, IPacketSink& sink)
{
    if (!m_bStarted || SectionTableId(section) != kSdtActualTableId || !IsValidSdt(section, length) ||
        !SectionIsCurrent(section))
        return;
    uint16_t services[kMaxSelectedPrograms];
    for (int i = 0; i < m_nPrograms; ++i)
        services[i] = m_Programs[i].Number;
    const int written = WriteSdtSubset(section, length, services, m_nPrograms, m_nSdtVersion, m_Output);

    // Each section number keeps the content it was last sent with; a change
    // in any of them is a new version of the table.
    const int number = SectionNumber(section);
    const uint32_t content = ContentChecksum(m_Output, written);
    if (m_SdtWritten[number] && content != m_SdtContent[number])
    {
        m_nSdtVersion = (m_nSdtVersion + 1) & 0x1F;
        SetVersion(m_Output, written, m_nSdtVersion);
    }
    m_SdtContent[number] = content;
    m_SdtWritten[number] = true;
    m_SdtWriter.Write(m_Output, written, sink);
}

void CProgramFilter::OnEitSection(const unsigned char* section, int length, IPacketSink& sink)
{
    if (!m_bStarted || !IsEitActualTableId(SectionTableId(section)) || !IsValidEit(section, length) ||
        !IsSelected(SectionTableIdExtension(section)))
        return;
    m_EitWriter.Write(section, length, sink);
}

void CProgramFilter::RebuildPidRoles()
{
    if (m_bWholeStream)
    {
        std::memset(m_PidRoles, kPass, sizeof m_PidRoles);
        return;
    }
    std::memset(m_PidRoles, kDrop, sizeof m_PidRoles);
    for (int i = 0; i < m_nPrograms; ++i)
    {
        const SProgram& program = m_Programs[i];
        if (!program.Listed)
            continue;
        for (int p = 0; p < program.PidCount; ++p)
        {
            if (IsAssignablePid(program.Pids[p]))
                m_PidRoles[program.Pids[p]] = kPass;
        }
    }
    // A PMT's packets pass as well, so a PID that is also another program's
    // stream loses nothing by being read.
    for (int i = 0; i < m_nPrograms; ++i)
    {
        if (m_Programs[i].Listed)
            m_PidRoles[m_Programs[i].PmtPid] = kPmt;
    }
    // The tables the filter rewrites keep their role whatever a PMT names.
    m_PidRoles[kPatPid] = kPat;
    m_PidRoles[kSdtPid] = kSdt;
    m_PidRoles[kEitPid] = kEit;
    m_PidRoles[kTdtPid] = m_bStarted ? kPass : kDrop;
}

bool CProgramFilter::IsSelected(uint16_t number) const
{
    for (int i = 0; i < m_nPrograms; ++i)
    {
        if (m_Programs[i].Number == number)
            return true;
    }
    return false;
}
