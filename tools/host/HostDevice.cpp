#include "HostDevice.h"

#include <cstring>

#include "HostLog.h"

using namespace KelvModuleApi2;

namespace
{
constexpr int32_t kModuleInfoSize = 232;
constexpr int32_t kEngineFilterSize = 80;
const wchar_t kDeviceName[] = L"Tovrin host file player";
}  // namespace

HostDevice::HostDevice(int transportType, HWND mainWindow, DWORD mainThreadId)
    : transportType_(transportType), mainWindow_(mainWindow), mainThreadId_(mainThreadId)
{
}

void HostDevice::Reserved0()
{
    std::lock_guard<std::mutex> hold(lock_);
    ++unexpectedCalls_;
}

void HostDevice::Reserved1()
{
    std::lock_guard<std::mutex> hold(lock_);
    ++unexpectedCalls_;
}

int HostDevice::GetDeviceInfo(SModuleInfo* info)
{
    if (info == nullptr || info->Size < kModuleInfoSize)
        return 0;
    std::memset(info->Name, 0, sizeof info->Name);
    std::memcpy(info->Name, kDeviceName, sizeof kDeviceName);
    info->TransportType = static_cast<SModuleInfo::EEngineTransportType>(transportType_);
    return 1;
}

int HostDevice::AddEngineFilter(SEngineFilter* filter)
{
    if (filter == nullptr || filter->Size < kEngineFilterSize || filter->pReceiver == nullptr)
    {
        HostLog("host: AddEngineFilter refused: no usable filter record");
        return 0;
    }
    char name[sizeof filter->Name + 1] = {};
    std::memcpy(name, filter->Name, sizeof filter->Name);  // the record lives on the caller's stack
    int handle = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (receiver_ != nullptr)
        {
            HostLog("host: AddEngineFilter refused: filter %d is still registered", handle_);
            return 0;
        }
        receiver_ = filter->pReceiver;
        handle = handle_ = nextHandle_++;
        open_ = false;
        ++filtersAdded_;
    }
    HostLog("host: filter \"%s\" registered, handle %d", name, handle);
    if (GetCurrentThreadId() == mainThreadId_ && mainWindow_ != nullptr &&
        PostMessageW(mainWindow_, kMsgOpenFilter, static_cast<WPARAM>(handle), 0))
        return handle;
    // From another thread there is no later point to wait for.
    OpenFilter(handle);
    return handle;
}

int HostDevice::RemoveEngineFilter(int handle)
{
    {
        std::lock_guard<std::mutex> hold(lock_);  // waits for a delivery in flight
        if (handle == 0 || handle != handle_)
            return 0;
        receiver_ = nullptr;
        handle_ = 0;
        open_ = false;
    }
    HostLog("host: filter %d removed", handle);
    return 1;
}

void HostDevice::OpenFilter(int handle)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (handle == 0 || handle != handle_ || receiver_ == nullptr)
        return;  // removed again before the message came
    open_ = true;
    opened_.notify_all();
}

int HostDevice::WaitForOpenFilter()
{
    std::unique_lock<std::mutex> hold(lock_);
    opened_.wait(hold, [this] { return open_ || shutdown_; });
    return shutdown_ ? 0 : handle_;
}

bool HostDevice::Deliver(int handle, unsigned char* data, int length, int64_t* nanosecondsInModule)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!open_ || shutdown_ || handle != handle_)
        return false;
    const HostClock::time_point before = HostClock::now();
    receiver_->EngineFilter_ReceiveTraffic(data, length);
    *nanosecondsInModule += std::chrono::duration_cast<std::chrono::nanoseconds>(HostClock::now() - before).count();
    return true;
}

void HostDevice::Shutdown()
{
    std::lock_guard<std::mutex> hold(lock_);
    shutdown_ = true;
    opened_.notify_all();
}

bool HostDevice::FilterRegistered() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return receiver_ != nullptr;
}

int HostDevice::FiltersAdded() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return filtersAdded_;
}

int HostDevice::UnexpectedCalls() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return unexpectedCalls_;
}
