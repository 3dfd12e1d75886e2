#pragma once
// The host's tuner device as the module sees it: it reports a transport
// stream, takes one filter registration at a time, and hands the engine's
// blocks to the registered receiver.
//
// Two promises to the module. Traffic starts only after the call that
// registered the filter has finished (a filter added on the main thread is
// opened by a message posted to the host's main window, which the dialog's
// loop dispatches after the Start handler has returned), so nothing sent
// while the module is still setting up is lost. And once RemoveEngineFilter
// returns, no call reaches the receiver: removal takes the same lock that
// every delivery holds.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "host/host_api.h"

// Posted to the main window with the filter handle in wParam.
constexpr UINT kMsgOpenFilter = WM_APP + 1;

// Not in an anonymous namespace: the module calls it through its vtable.
class HostDevice : public KelvModuleApi2::IDeviceModule
{
public:
    HostDevice(int transportType, HWND mainWindow, DWORD mainThreadId);

    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;

    // IDeviceModule
    void Reserved0() override;
    void Reserved1() override;
    int GetDeviceInfo(KelvModuleApi2::SModuleInfo* info) override;
    int AddEngineFilter(KelvModuleApi2::SEngineFilter* filter) override;
    int RemoveEngineFilter(int handle) override;

    // The main window got kMsgOpenFilter: traffic may flow to that filter.
    void OpenFilter(int handle);

    // Engine side. Blocks until a filter is open and returns its handle; 0
    // once Shutdown ran.
    int WaitForOpenFilter();
    // Hands one block to the filter `handle`; false when that filter is no
    // longer open (removed, or replaced by a new registration). Adds the time
    // spent inside the receiver to `nanosecondsInModule`.
    bool Deliver(int handle, unsigned char* data, int length, int64_t* nanosecondsInModule);
    // Wakes the engine for good.
    void Shutdown();

    bool FilterRegistered() const;
    int FiltersAdded() const;
    int UnexpectedCalls() const;

private:
    const int transportType_;
    const HWND mainWindow_;
    const DWORD mainThreadId_;

    mutable std::mutex lock_;                 // held by every delivery and by removal
    std::condition_variable opened_;
    KelvModuleApi2::SEngineFilter::IReceiver* receiver_ = nullptr;  // the registered filter
    int handle_ = 0;                          // its handle, 0 when none
    bool open_ = false;                       // traffic may flow to it
    bool shutdown_ = false;
    int nextHandle_ = 1;
    int filtersAdded_ = 0;
    int unexpectedCalls_ = 0;                 // slots 0 and 1, which a module never calls
};
