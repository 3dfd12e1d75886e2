#include "discovery/DidlLite.h"

#include <cstring>

#include "discovery/XmlElement.h"
#include "http/ChannelId.h"

namespace {
constexpr char kDidlHead[] =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\">";
constexpr char kDidlTail[] = "</DIDL-Lite>";

// The bytes `text` takes once escaped for markup.
size_t EscapedLength(const char* text)
{
    size_t length = 0;
    for (; *text != 0; ++text)
        switch (*text)
        {
        case '&': length += 5; break;
        case '<':
        case '>': length += 4; break;
        case '"': length += 6; break;
        case '\'': length += 5; break;
        default: length += 1; break;
        }
    return length;
}

// "p<number>" to the program's index; -1 when it is not one of the list's.
int ItemIndex(const SProgramList& programs, const char* objectId)
{
    if (objectId[0] != 'p' || objectId[1] < '1' || objectId[1] > '9')
        return -1;
    uint32_t number = 0;
    for (const char* c = objectId + 1; *c != 0; ++c)
    {
        if (*c < '0' || *c > '9' || number > 6553)
            return -1;
        number = number * 10 + static_cast<uint32_t>(*c - '0');
    }
    const int count = ListedProgramCount(programs);
    for (int i = 0; i < count; ++i)
        if (programs.Programs[i].ProgramNumber == number)
            return i;
    return -1;
}

const char* EventNow(const SMediaLibrary& library, uint16_t number)
{
    if (library.Now == nullptr)
        return "";
    const int count = library.Now->Count < kGuideMaxServices ? library.Now->Count : kGuideMaxServices;
    for (int i = 0; i < count; ++i)
        if (library.Now->Services[i].ProgramNumber == number && library.Now->Services[i].Known)
            return library.Now->Services[i].Title;
    return "";
}

SDlnaFormat FormatAt(const SMediaLibrary& library, int index)
{
    const SListedProgram& program = library.Programs->Programs[index];
    return DlnaFormatOf(program.ServiceType, library.Codecs != nullptr ? &library.Codecs[index] : nullptr);
}

void WriteItem(const SMediaLibrary& library, int index, SDidlScratch& scratch, CTextWriter& writer)
{
    const SListedProgram& program = library.Programs->Programs[index];
    char utf8[kDvbTextUtf8Capacity];
    DvbTextToUtf8(program.Name, program.NameLength, utf8, sizeof utf8);
    CTextWriter name(scratch.Name, sizeof scratch.Name);
    PutProgramName(name, utf8, program.ProgramNumber, ENameText::Plain);
    const SDlnaFormat format = FormatAt(library, index);

    writer.Put("<item id=\"p");
    writer.PutDecimal(program.ProgramNumber);
    writer.Put("\" parentID=\"0\" restricted=\"1\">");
    PutXmlElement(writer, "dc:title", scratch.Name, EXmlText::Escaped);
    PutXmlElement(writer, "upnp:class",
                  format.Media == EDlnaMedia::Audio ? "object.item.audioItem.audioBroadcast"
                                                    : "object.item.videoItem.videoBroadcast",
                  EXmlText::AsIs);
    PutXmlNumber(writer, "upnp:channelNr", program.ProgramNumber);
    PutXmlElement(writer, "upnp:channelName", scratch.Name, EXmlText::Escaped);
    const char* now = EventNow(library, program.ProgramNumber);
    if (now[0] != 0)
        PutXmlElement(writer, "dc:description", now, EXmlText::Escaped);
    writer.Put("<res protocolInfo=\"");
    PutProtocolInfo(writer, format);
    writer.Put("\">http://");
    writer.Put(library.HostPort);
    PutProgramPath(writer, program.ProgramNumber, ".ts");
    writer.Put("</res></item>");
}

void WriteRoot(const SMediaLibrary& library, CTextWriter& writer)
{
    writer.Put("<container id=\"0\" parentID=\"-1\" restricted=\"1\" searchable=\"0\" childCount=\"");
    writer.PutDecimal(static_cast<uint64_t>(ListedProgramCount(*library.Programs)));
    writer.Put("\">");
    PutXmlElement(writer, "dc:title", library.Title, EXmlText::Escaped);
    writer.Put("<upnp:class>object.container.storageFolder</upnp:class></container>");
}
} // namespace

EBrowse WriteBrowseResult(const SMediaLibrary& library, const char* objectId, bool children, uint32_t start,
                          uint32_t count, size_t budget, SDidlScratch& scratch, CTextWriter& out, SBrowseCounts& counts)
{
    counts = SBrowseCounts();
    const SProgramList& programs = *library.Programs;
    const bool root = std::strcmp(objectId, "0") == 0;
    const int item = root ? -1 : ItemIndex(programs, objectId);
    if (!root && item < 0)
        return EBrowse::NoSuchObject;
    if (children && !root)
        return EBrowse::NoSuchContainer;

    const size_t begin = out.Length();
    out.PutMarkupEscaped(kDidlHead);
    const size_t tail = EscapedLength(kDidlTail);
    auto put = [&](auto write) {
        CTextWriter object(scratch.Object, sizeof scratch.Object);
        write(object);
        if (!object.Fits() || out.Length() - begin + EscapedLength(scratch.Object) + tail > budget)
            return false;
        out.PutMarkupEscaped(scratch.Object);
        ++counts.Returned;
        return true;
    };
    if (!children)
    {
        counts.Total = 1;
        if (root)
            put([&](CTextWriter& w) { WriteRoot(library, w); });
        else
            put([&](CTextWriter& w) { WriteItem(library, item, scratch, w); });
    }
    else
    {
        const uint32_t total = static_cast<uint32_t>(ListedProgramCount(programs));
        counts.Total = total;
        for (uint32_t i = start; i < total && (count == 0 || counts.Returned < count); ++i)
            if (!put([&](CTextWriter& w) { WriteItem(library, static_cast<int>(i), scratch, w); }))
                break;
    }
    out.PutMarkupEscaped(kDidlTail);
    return EBrowse::Found;
}

void PutSourceProtocolInfo(const SMediaLibrary& library, CTextWriter& out)
{
    const int count = ListedProgramCount(*library.Programs);
    bool first = true;
    for (int i = 0; i < count; ++i)
    {
        const SDlnaFormat format = FormatAt(library, i);
        bool seen = false;
        for (int k = 0; k < i && !seen; ++k)
        {
            const SDlnaFormat earlier = FormatAt(library, k);
            seen = std::strcmp(earlier.MimeType, format.MimeType) == 0 &&
                   (earlier.Profile == nullptr ? format.Profile == nullptr
                                               : format.Profile != nullptr && std::strcmp(earlier.Profile, format.Profile) == 0);
        }
        if (seen)
            continue;
        if (!first)
            out.Put(',');
        first = false;
        PutProtocolInfo(out, format);
    }
}

uint32_t ProgramListUpdateId(const SProgramList& programs)
{
    uint32_t hash = 2166136261u;
    auto mix = [&hash](const unsigned char* bytes, size_t length) {
        for (size_t i = 0; i < length; ++i)
            hash = (hash ^ bytes[i]) * 16777619u;
    };
    const int count = ListedProgramCount(programs);
    for (int i = 0; i < count; ++i)
    {
        const SListedProgram& p = programs.Programs[i];
        const unsigned char head[4] = {static_cast<unsigned char>(p.ProgramNumber >> 8),
                                       static_cast<unsigned char>(p.ProgramNumber), p.ServiceType, p.NameLength};
        mix(head, sizeof head);
        mix(p.Name, p.NameLength);
    }
    return hash == 0 ? 1 : hash;
}
