#include "http/OutputDescriptions.h"

#include <cstring>

#include "psi/DvbText.h"

namespace
{
void ServiceText(const unsigned char* text, int length, char (&out)[kSapTextCapacity])
{
    out[0] = 0;
    if (length > 0)
        DvbTextToUtf8(text, static_cast<size_t>(length), out, sizeof out);
}
}  // namespace

SServedOutput* FindServedOutput(SServedOutputs& outputs, int number)
{
    const int count = outputs.Count < 0 ? 0 : outputs.Count > kMaxServedOutputs ? kMaxServedOutputs : outputs.Count;
    for (int i = 0; i < count; ++i)
        if (outputs.Items[i].Number == number)
            return &outputs.Items[i];
    return nullptr;
}

bool SameDescription(const SSapSession& a, const SSapSession& b)
{
    SSapSession named = b;
    std::memcpy(named.Name, a.Name, sizeof named.Name);
    std::memcpy(named.Provider, a.Provider, sizeof named.Provider);
    named.Version = a.Version;
    char was[kSapPacketCapacity];
    char is[kSapPacketCapacity];
    const int wasLength = WriteSessionDescription(a, was, sizeof was);
    const int isLength = WriteSessionDescription(named, is, sizeof is);
    return wasLength == isLength && std::memcmp(was, is, static_cast<size_t>(isLength)) == 0;
}

void CarryOutputVersion(SServedOutput& next, const SServedOutput& before)
{
    // Its name follows its programs when it is written out (a new version
    // then too); here everything else.
    const bool same = SameDescription(before.Session, next.Session);
    std::memcpy(next.Session.Name, before.Session.Name, sizeof next.Session.Name);
    std::memcpy(next.Session.Provider, before.Session.Provider, sizeof next.Session.Provider);
    next.Session.Version = before.Session.Version + (same ? 0 : 1);
}

int WriteOutputDescription(SServedOutput& output, const SProgramList& programs, char* out, int capacity)
{
    char name[kSapTextCapacity] = "";
    char provider[kSapTextCapacity] = "";
    if (output.nPrograms == 1)
    {
        const int count = programs.nPrograms < 0                   ? 0
                          : programs.nPrograms > kMaxListedPrograms ? kMaxListedPrograms
                                                                    : programs.nPrograms;
        for (int i = 0; i < count; ++i)
            if (programs.Programs[i].ProgramNumber == output.Program)
            {
                ServiceText(programs.Programs[i].Name, programs.Programs[i].NameLength, name);
                ServiceText(programs.Programs[i].Provider, programs.Programs[i].ProviderLength, provider);
                break;
            }
    }
    RenameSession(output.Session, name, provider);
    return WriteSessionDescription(output.Session, out, capacity);
}
