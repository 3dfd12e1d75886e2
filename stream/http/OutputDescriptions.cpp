#include "http/OutputDescriptions.h"

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
