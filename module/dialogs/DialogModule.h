#pragma once
// What the More... dialog and its pages ask of the module object that opens
// them. An interface, so that the dialogs depend on settings, outputs and the
// server, never on the module object itself.

#include <cstdint>

#include "guide/GuideNow.h"
#include "server/HttpServer.h"
#include "settings/OutputSettings.h"
#include "settings/ProgramList.h"

struct SOptionTexts;
struct SOptionWritePlan;

class IDialogModule
{
public:
    // The optional keys as the file holds them, and a change of them that
    // the dialog planned.
    virtual void ReadOptionalKeyTexts(SOptionTexts& texts) const = 0;
    virtual void ApplyOptionalKeys(const SOptionWritePlan& plan) = 0;
    // The transponder's programs as the latest stream saw them; false
    // before the first stream.
    virtual bool SnapshotPrograms(SProgramList& programs) = 0;
    virtual bool Streaming() const = 0;
    // While the URL server runs: the address to open, who watches now and
    // each program's event on now; false when it does not run.
    virtual bool FormatHttpUrl(wchar_t (&url)[kHttpUrlCapacity]) const = 0;
    virtual bool SnapshotHttpViewers(SHttpViewerSnapshot& viewers) const = 0;
    virtual bool SnapshotGuideNow(SGuideNowList& events) const = 0;
    // Output 1's destination port, whose + 2 and + 4 the FEC tab names.
    virtual uint16_t DestinationPort() const = 0;
    // Output 1 as set now, which the Outputs tab shows and checks others against.
    virtual const SOutputSettings& FirstOutputSettings() const = 0;

protected:
    ~IDialogModule() = default;
};
