#pragma once
// Each output's session description (SDP) as the URL server serves it at
// "/output/<k>.sdp", for every output the module sends to, unicast and
// broadcast ones too: a player given the file opens the stream without
// being told ports or framing. The text is the one an announcement of the
// output carries (see SapAnnouncement.h): named after its program when it
// carries one, a new version when that name changes.

#include <cstdint>

#include "http/HttpPages.h"
#include "sap/SapAnnouncement.h"

constexpr int kMaxServedOutputs = 16;

struct SServedOutput
{
    int Number = 0;          // 1 for the section's own keys, k for Output<k>
    int nPrograms = 0;       // programs it carries; 0: the whole transponder
    uint16_t Program = 0;    // the one it carries when nPrograms is 1
    SSapSession Session;     // destination, framing, origin; named here
};

struct SServedOutputs
{
    int Count = 0;
    SServedOutput Items[kMaxServedOutputs];
};

// The output numbered `number`, null when none is.
SServedOutput* FindServedOutput(SServedOutputs& outputs, int number);

// Whether two sessions' descriptions say the same but for their names and
// versions.
bool SameDescription(const SSapSession& a, const SSapSession& b);

// The server's copy of an output that the module described anew: `next`
// takes `before`'s name and version, and a version further when anything
// else its description says differs (a running output changes only with
// its programs; a version that stayed would let a receiver keep the old).
void CarryOutputVersion(SServedOutput& next, const SServedOutput& before);

// Names the output's session after its program as `programs` lists it now
// (the module's name otherwise), then writes its description like
// WriteSessionDescription: its length, 0 when it does not fit.
int WriteOutputDescription(SServedOutput& output, const SProgramList& programs, char* out, int capacity);
