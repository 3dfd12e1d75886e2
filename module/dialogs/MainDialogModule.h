#pragma once
// What the options dialog asks of the module object that opens it, beside
// what the More... dialog asks: Start and Stop, output 1's fields, and what
// its status line and timer show. An interface, so that the dialog depends
// on settings, outputs and the server, never on the module object itself.

#include <cstdint>

#include "dialogs/DialogModule.h"
#include "outputs/Output.h"
#include "settings/TextCapacities.h"

// Each running output's datagrams refused since Start and the latest
// reason, output 1 first.
struct SOutputRefusals
{
    struct SOutput
    {
        int Number;
        uint64_t Refused;
        int LastError;
    };
    int Count = 0;
    SOutput Items[kMaxOutputs] = {};
};

class IMainDialogModule : public IDialogModule
{
public:
    virtual void StartWrite() = 0;
    virtual void StopWrite() = 0;
    // Whether the host's device delivers a transport stream: without one,
    // Start and Stop stay disabled.
    virtual bool DeviceDeliversTransportStream() = 0;
    // Output 1, whose settings the dialog's fields show, and the fields as
    // the user left them (packets brought into 1..7).
    virtual const COutput& FirstOutput() const = 0;
    virtual void SetFirstOutputFields(const wchar_t (&address)[kAddressCapacity], uint16_t port, int packets) = 0;
    // Why the latest start was refused; empty when it was not.
    virtual const wchar_t* StartRefusal() const = 0;
    // The status line while the URL server runs, or while several outputs
    // do; false (nothing written) otherwise.
    virtual bool FormatHttpLine(wchar_t* text) const = 0;
    virtual bool FormatOutputsLine(wchar_t* text) const = 0;
    virtual bool HttpServerRunning() const = 0;
    // The running stream's start tick and the payload bytes sent since.
    virtual uint32_t StartTick() const = 0;
    virtual int64_t BytesSent() const = 0;
    // Read under the module's lock.
    virtual void SnapshotRefusals(SOutputRefusals& refusals) = 0;

protected:
    ~IMainDialogModule() = default;
};
