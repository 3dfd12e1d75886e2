#include "ModuleTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

using namespace KelvModuleApi2;

ModulePtr CreateModule(IDeviceModule* device)
{
    SCreateModuleParams params{};
    params.Size = sizeof(params);
    params.pDevice = device;
    return ModulePtr(g_UnitManager.CreateModule(&params));
}

// ---------------------------------------------------------------------------
namespace TsPackets
{
namespace
{
constexpr int kCounterAt = 10;  // behind the header, the adaptation field and the PES start code
}

void Fill(uint8_t* packet, uint32_t counter)
{
    // Each packet begins a video key frame (random_access_indicator and a
    // PES start), so that a URL viewer starts at the packet after its join
    // instead of waiting for one.
    const uint8_t head[] = {0x47, 0x41, 0x00,                        // PID 0x100, unit start
                            static_cast<uint8_t>(0x30 | (counter & 0x0F)),  // adaptation field and payload
                            0x01, 0x40,                              // random_access_indicator
                            0x00, 0x00, 0x01, 0xE0};                 // a video PES packet's start
    std::memcpy(packet, head, sizeof head);
    packet[kCounterAt] = static_cast<uint8_t>(counter >> 24);
    packet[kCounterAt + 1] = static_cast<uint8_t>(counter >> 16);
    packet[kCounterAt + 2] = static_cast<uint8_t>(counter >> 8);
    packet[kCounterAt + 3] = static_cast<uint8_t>(counter);
    // The rest depends on the counter too, so a packet torn or spliced from
    // two others does not pass for whole.
    for (int i = kCounterAt + 4; i < kPacket; ++i)
        packet[i] = static_cast<uint8_t>(counter * 131u + static_cast<uint32_t>(i) * 7u);
}

Bytes Make(uint32_t firstCounter, int count)
{
    Bytes bytes(static_cast<size_t>(count) * kPacket);
    for (int i = 0; i < count; ++i)
        Fill(&bytes[static_cast<size_t>(i) * kPacket], firstCounter + static_cast<uint32_t>(i));
    return bytes;
}

int64_t CounterOf(const uint8_t* packet)
{
    const uint32_t counter = static_cast<uint32_t>(packet[kCounterAt]) << 24 |
                             static_cast<uint32_t>(packet[kCounterAt + 1]) << 16 |
                             static_cast<uint32_t>(packet[kCounterAt + 2]) << 8 | packet[kCounterAt + 3];
    uint8_t expected[kPacket];
    Fill(expected, counter);
    return std::memcmp(expected, packet, kPacket) == 0 ? static_cast<int64_t>(counter) : -1;
}
}  // namespace TsPackets

// ---------------------------------------------------------------------------
void ScriptedDevice::Log(DeviceCall call)
{
    std::lock_guard<std::mutex> lock(m_CallsMutex);
    m_Calls.push_back(std::move(call));
}

int ScriptedDevice::GetDeviceInfo(SModuleInfo* info)
{
    DeviceCall call{DeviceOp::GetDeviceInfo, {}, 0};
    if (info != nullptr)
    {
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(info);
        call.record.assign(raw, raw + sizeof(SModuleInfo));
        info->TransportType = static_cast<SModuleInfo::EEngineTransportType>(m_TransportType.load());
    }
    Log(std::move(call));
    return 1;
}

int ScriptedDevice::AddEngineFilter(SEngineFilter* filter)
{
    DeviceCall call{DeviceOp::AddEngineFilter, {}, 0};
    if (filter != nullptr)
    {
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(filter);
        call.record.assign(raw, raw + sizeof(SEngineFilter));
        call.handle = m_NextHandle;
        if (m_NextHandle != 0)
            ++m_NextHandle;
        ++m_HostWaiting;
        {
            std::lock_guard<std::mutex> lock(m_DeliveryMutex);
            m_Receiver = filter->pReceiver;
            m_ActiveHandle = call.handle;
        }
        --m_HostWaiting;
    }
    const int handle = call.handle;
    Log(std::move(call));
    return handle;
}

int ScriptedDevice::RemoveEngineFilter(int handle)
{
    Log({DeviceOp::RemoveEngineFilter, {}, handle});
    if (m_OnRemove)
        m_OnRemove();
    ++m_HostWaiting;
    {
        std::lock_guard<std::mutex> lock(m_DeliveryMutex);
        if (handle != 0 && handle == m_ActiveHandle)
        {
            m_Receiver = nullptr;
            m_ActiveHandle = 0;
        }
    }
    --m_HostWaiting;
    return 1;
}

bool ScriptedDevice::Deliver(uint8_t* data, int length)
{
    if (m_HostWaiting.load() != 0)
        return false;
    std::lock_guard<std::mutex> lock(m_DeliveryMutex);
    if (m_Receiver == nullptr)
        return false;
    m_Receiver->EngineFilter_ReceiveTraffic(data, length);
    ++m_Deliveries;
    return true;
}

void ScriptedDevice::DropReceiver()
{
    std::lock_guard<std::mutex> lock(m_DeliveryMutex);
    m_Receiver = nullptr;
    m_ActiveHandle = 0;
}

SEngineFilter::IReceiver* ScriptedDevice::Receiver()
{
    std::lock_guard<std::mutex> lock(m_DeliveryMutex);
    return m_Receiver;
}

std::vector<DeviceCall> ScriptedDevice::Calls() const
{
    std::lock_guard<std::mutex> lock(m_CallsMutex);
    return m_Calls;
}

size_t ScriptedDevice::CallCount() const
{
    std::lock_guard<std::mutex> lock(m_CallsMutex);
    return m_Calls.size();
}

size_t ScriptedDevice::CallCount(DeviceOp op) const
{
    std::lock_guard<std::mutex> lock(m_CallsMutex);
    size_t n = 0;
    for (const DeviceCall& call : m_Calls)
        n += call.op == op ? 1 : 0;
    return n;
}

// ---------------------------------------------------------------------------
EngineThread::EngineThread(ScriptedDevice& device, int maxPacketsPerBlock, std::function<bool()> mayDeliver)
    : m_Device(device),
      m_MaxPackets(maxPacketsPerBlock),
      m_MayDeliver(std::move(mayDeliver)),
      m_Thread(&EngineThread::Run, this)
{
}

EngineThread::~EngineThread()
{
    Stop();
}

void EngineThread::Stop()
{
    m_Stop = true;
    if (m_Thread.joinable())
        m_Thread.join();
}

void EngineThread::Run()
{
    Bytes block(static_cast<size_t>(m_MaxPackets) * kPacket);
    uint32_t counter = 0;
    int packets = 1;
    while (!m_Stop.load())
    {
        if (m_MayDeliver && !m_MayDeliver())
        {
            std::this_thread::yield();
            continue;
        }
        for (int i = 0; i < packets; ++i)
            TsPackets::Fill(&block[static_cast<size_t>(i) * kPacket], counter + static_cast<uint32_t>(i));
        // Packets offered while nobody listens are gone, as with a real tuner.
        if (!m_Device.Deliver(block.data(), packets * kPacket))
            std::this_thread::yield();
        counter += static_cast<uint32_t>(packets);
        packets = packets % m_MaxPackets + 1;
    }
}

// ---------------------------------------------------------------------------
namespace
{
constexpr char kMarkerText[] = "TOVRIN-MARKER";
constexpr uint32_t kEndMarker = 0xFFFFFFFFu;
constexpr DWORD kSafetyTimeoutMs = 10000;  // only ever reached when something is broken
}  // namespace

UdpReceiver::UdpReceiver(uint16_t port)
{
    WinsockProbe::OwnCalls own;
    m_Socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    m_Sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (m_Socket == INVALID_SOCKET || m_Sender == INVALID_SOCKET)
        return;
    // Bursts from a sender at full speed must not overflow the queue.
    int bufferSize = 4 << 20;
    setsockopt(m_Socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferSize), sizeof(bufferSize));
    DWORD timeout = kSafetyTimeoutMs;
    setsockopt(m_Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (bind(m_Socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(m_Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        closesocket(m_Socket);
        m_Socket = INVALID_SOCKET;
        return;
    }
    m_Port = ntohs(address.sin_port);
    // The default port lies in the ephemeral range; a stream that someone else
    // sends there must not land in an unrelated test's receiver.
    if (port == 0 && m_Port == 43000)
    {
        const SOCKET spare = m_Socket;
        m_Socket = INVALID_SOCKET;
        UdpReceiver other(0);
        std::swap(m_Socket, other.m_Socket);
        m_Port = other.m_Port;
        closesocket(spare);
    }
}

UdpReceiver::~UdpReceiver()
{
    if (m_Collector.joinable())
        StopCollecting();
    WinsockProbe::OwnCalls own;
    if (m_Socket != INVALID_SOCKET)
        closesocket(m_Socket);
    if (m_Sender != INVALID_SOCKET)
        closesocket(m_Sender);
}

bool UdpReceiver::Receive(Bytes& datagram)
{
    datagram.resize(65536);
    const int n = recv(m_Socket, reinterpret_cast<char*>(datagram.data()), static_cast<int>(datagram.size()), 0);
    if (n < 0)
    {
        datagram.clear();
        return false;
    }
    datagram.resize(static_cast<size_t>(n));
    return true;
}

void UdpReceiver::SendMarker(uint32_t id)
{
    WinsockProbe::OwnCalls own;
    char text[sizeof(kMarkerText) + 4];
    std::memcpy(text, kMarkerText, sizeof(kMarkerText));
    std::memcpy(text + sizeof(kMarkerText), &id, 4);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(m_Sender, text, sizeof(text), 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

bool UdpReceiver::IsMarker(const Bytes& datagram, uint32_t* id)
{
    if (datagram.size() != sizeof(kMarkerText) + 4 ||
        std::memcmp(datagram.data(), kMarkerText, sizeof(kMarkerText)) != 0)
        return false;
    if (id != nullptr)
        std::memcpy(id, datagram.data() + sizeof(kMarkerText), 4);
    return true;
}

std::vector<Bytes> UdpReceiver::DrainUntilMarker()
{
    std::vector<Bytes> before;
    if (!Bound())
    {
        ADD_FAILURE() << "receiver is not bound";
        return before;
    }
    const uint32_t id = m_NextMarker++;
    SendMarker(id);
    Bytes datagram;
    while (Receive(datagram))
    {
        uint32_t got = 0;
        if (IsMarker(datagram, &got) && got == id)
            return before;
        before.push_back(datagram);
    }
    ADD_FAILURE() << "the receiver's own marker never arrived";
    return before;
}

void UdpReceiver::StartCollecting()
{
    m_Collected.clear();
    m_CollectedCount = 0;
    m_Collector = std::thread([this] {
        Bytes datagram;
        for (;;)
        {
            if (!Receive(datagram))
                break;  // only when the end marker got lost: the caller sees it missing
            uint32_t id = 0;
            const bool marker = IsMarker(datagram, &id);
            if (marker && id == kEndMarker)
                break;
            m_Collected.push_back(datagram);
            if (!marker)
                ++m_CollectedCount;
        }
    });
}

std::vector<Bytes> UdpReceiver::StopCollecting()
{
    SendMarker(kEndMarker);
    if (m_Collector.joinable())
        m_Collector.join();
    return std::move(m_Collected);
}

// ---------------------------------------------------------------------------
TempIniFolder::TempIniFolder()
{
    static std::atomic<int> serial{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_Folder = std::wstring(temp) + L"tovrin-module-tests-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++serial);
    CreateDirectoryW(m_Folder.c_str(), nullptr);
    m_Ini = m_Folder + L"\\host.ini";
    DeleteFileW(m_Ini.c_str());
}

TempIniFolder::~TempIniFolder()
{
    WIN32_FIND_DATAW found;
    const std::wstring pattern = m_Folder + L"\\*";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((m_Folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(m_Folder.c_str());
}

bool TempIniFolder::HandToUnit() const
{
    SUnitInfo info{};
    info.Size = sizeof(info);
    info.hMainWnd = nullptr;
    info.IniFileName = m_Ini.c_str();
    return g_UnitManager.GetInfo(&info) == 1 && m_Ini == m_IniFileName;
}

bool TempIniFolder::Exists() const
{
    return GetFileAttributesW(m_Ini.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void TempIniFolder::WriteBytes(const std::string& bytes) const
{
    HANDLE file = CreateFileW(m_Ini.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

std::string TempIniFolder::ReadBytes() const
{
    HANDLE file = CreateFileW(m_Ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

std::wstring TempIniFolder::ReadKey(const wchar_t* key) const
{
    wchar_t value[256];
    GetPrivateProfileStringW(L"TovrinStreamer", key, L"<missing>", value, 256, m_Ini.c_str());
    return value;
}

void TempIniFolder::WriteKey(const wchar_t* key, const std::wstring& value) const
{
    WritePrivateProfileStringW(L"TovrinStreamer", key, value.c_str(), m_Ini.c_str());
}

// ---------------------------------------------------------------------------
GuardedBlock::GuardedBlock(const Bytes& content)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t dataPages = (content.size() + page - 1) / page + 1;
    m_Base = VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (m_Base == nullptr)
        return;
    uint8_t* guard = static_cast<uint8_t*>(m_Base) + dataPages * page;
    DWORD old = 0;
    VirtualProtect(guard, page, PAGE_NOACCESS, &old);
    m_Size = static_cast<int>(content.size());
    m_Data = guard - content.size();
    std::memcpy(m_Data, content.data(), content.size());
}

GuardedBlock::~GuardedBlock()
{
    if (m_Base != nullptr)
        VirtualFree(m_Base, 0, MEM_RELEASE);
}

// ---------------------------------------------------------------------------
namespace WinsockProbe
{
namespace
{
using StartupFn = int(WSAAPI*)(WORD, LPWSADATA);
using CleanupFn = int(WSAAPI*)();
using SocketFn = SOCKET(WSAAPI*)(int, int, int);
using CloseFn = int(WSAAPI*)(SOCKET);
using SendToFn = int(WSAAPI*)(SOCKET, const char*, int, int, const sockaddr*, int);
using LastErrorFn = int(WSAAPI*)();
using HtonsFn = u_short(WSAAPI*)(u_short);
using PtonFn = INT(WSAAPI*)(INT, PCSTR, PVOID);
using AddrFn = unsigned long(WSAAPI*)(const char*);
using DebugStringFn = void(WINAPI*)(LPCWSTR);
using TickFn = DWORD(WINAPI*)();
using FormatFn = DWORD(WINAPI*)(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*);
using SetOptionFn = int(WSAAPI*)(SOCKET, int, int, const char*, int);
using BindFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using AcceptFn = SOCKET(WSAAPI*)(SOCKET, sockaddr*, int*);

StartupFn g_RealStartup = nullptr;
CleanupFn g_RealCleanup = nullptr;
SocketFn g_RealSocket = nullptr;
CloseFn g_RealClose = nullptr;
SendToFn g_RealSendTo = nullptr;
LastErrorFn g_RealLastError = nullptr;
HtonsFn g_RealHtons = nullptr;
PtonFn g_RealPton = nullptr;
AddrFn g_RealAddr = nullptr;
DebugStringFn g_RealDebugString = nullptr;
TickFn g_RealTick = nullptr;
FormatFn g_RealFormat = nullptr;
SetOptionFn g_RealSetOption = nullptr;
BindFn g_RealBind = nullptr;
AcceptFn g_RealAccept = nullptr;
bool g_Installed = false;

std::atomic<int> g_Startups{0}, g_Cleanups{0}, g_Sockets{0}, g_Closes{0}, g_Sends{0}, g_Accepted{0};
std::atomic<int> g_LastErrors{0}, g_TickReads{0}, g_Formats{0};
std::atomic<int> g_Balance{0}, g_Lowest{0};
std::atomic<bool> g_FailSockets{false}, g_FailStartups{false};
std::atomic<int> g_RefuseError{0}, g_RefuseEvery{0}, g_RefuseCount{0};
std::atomic<bool> g_FailBinds{false};
std::atomic<int> g_FailAcceptError{0}, g_AcceptCalls{0};

std::mutex g_Mutex;  // guards the destination, the log and the debug lines
Bytes g_LastDestination;
bool g_Logging = false;
std::vector<LogEntry> g_Log;
std::vector<std::wstring> g_DebugText;
std::vector<OptionCall> g_OptionCalls;

thread_local int t_Own = 0;

std::mutex g_HookMutex;
std::function<void()> g_Hooks[4];

void RunHook(Call call)
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(g_HookMutex);
        hook = g_Hooks[static_cast<int>(call)];
    }
    if (hook)
        hook();
}

// Every socket-library call of the module runs the Any hook first.
void RunHooks(Call call)
{
    RunHook(Call::Any);
    if (call != Call::Any)
        RunHook(call);
}

int WSAAPI HookStartup(WORD version, LPWSADATA data)
{
    if (t_Own != 0)
        return g_RealStartup(version, data);
    RunHooks(Call::Any);
    if (g_FailStartups.load())
        return WSASYSNOTREADY;
    const int result = g_RealStartup(version, data);
    if (result == 0)
    {
        ++g_Startups;
        ++g_Balance;
    }
    return result;
}

int WSAAPI HookCleanup()
{
    if (t_Own == 0)
    {
        RunHooks(Call::Any);
        ++g_Cleanups;
        const int balance = --g_Balance;
        int lowest = g_Lowest.load();
        while (balance < lowest && !g_Lowest.compare_exchange_weak(lowest, balance))
        {
        }
    }
    return g_RealCleanup();
}

SOCKET WSAAPI HookSocket(int family, int type, int protocol)
{
    if (t_Own != 0)
        return g_RealSocket(family, type, protocol);
    ++g_Sockets;
    RunHooks(Call::Socket);
    if (g_FailSockets.load())
    {
        WSASetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    return g_RealSocket(family, type, protocol);
}

int WSAAPI HookClose(SOCKET s)
{
    if (t_Own == 0)
    {
        ++g_Closes;
        RunHooks(Call::Close);
    }
    return g_RealClose(s);
}

bool RefuseThisSend()
{
    const int every = g_RefuseEvery.load();
    return every > 0 && g_RefuseCount.fetch_add(1) % every == 0;
}

int WSAAPI HookSendTo(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to, int toLength)
{
    if (t_Own != 0)
        return g_RealSendTo(s, buffer, length, flags, to, toLength);
    RunHooks(Call::SendTo);
    int result = SOCKET_ERROR;
    if (RefuseThisSend())
        WSASetLastError(g_RefuseError.load());
    else
        result = g_RealSendTo(s, buffer, length, flags, to, toLength);
    const int error = result == SOCKET_ERROR ? g_RealLastError() : 0;  // not counted as the module's
    ++g_Sends;
    if (result != SOCKET_ERROR)
        ++g_Accepted;
    {
        std::lock_guard<std::mutex> lock(g_Mutex);
        if (to != nullptr && toLength > 0)
            g_LastDestination.assign(reinterpret_cast<const uint8_t*>(to),
                                     reinterpret_cast<const uint8_t*>(to) + toLength);
        if (g_Logging)
        {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buffer);
            LogEntry entry{Event::Send, result != SOCKET_ERROR, length >= 4 ? static_cast<uint16_t>(bytes[2] << 8 | bytes[3]) : uint16_t(0),
                           length, GetCurrentThreadId(), s, {}};
            if (to != nullptr && toLength == static_cast<int>(sizeof entry.destination))
                std::memcpy(&entry.destination, to, sizeof entry.destination);
            g_Log.push_back(entry);
        }
    }
    // The module reads the error of its own call.
    if (result == SOCKET_ERROR)
        WSASetLastError(error);
    return result;
}

int WSAAPI HookLastError()
{
    if (t_Own == 0)
        ++g_LastErrors;
    return g_RealLastError();
}

u_short WSAAPI HookHtons(u_short value)
{
    if (t_Own == 0)
        RunHooks(Call::Any);
    return g_RealHtons(value);
}

INT WSAAPI HookPton(INT family, PCSTR text, PVOID address)
{
    if (t_Own == 0)
        RunHooks(Call::Any);
    return g_RealPton(family, text, address);
}

unsigned long WSAAPI HookAddr(const char* text)
{
    if (t_Own == 0)
        RunHooks(Call::Any);
    return g_RealAddr(text);
}

void WINAPI HookDebugString(LPCWSTR text)
{
    {
        std::lock_guard<std::mutex> lock(g_Mutex);
        g_DebugText.emplace_back(text != nullptr ? text : L"(null)");
    }
    g_RealDebugString(text);
}

DWORD WINAPI HookTick()
{
    ++g_TickReads;
    return g_RealTick();
}

DWORD WINAPI HookFormat(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer, DWORD size,
                        va_list* arguments)
{
    ++g_Formats;
    return g_RealFormat(flags, source, id, language, buffer, size, arguments);
}

void NoteOptionCall(int level, int name, const char* value, int length, bool done)
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    Bytes bytes;
    if (value != nullptr && length > 0)
        bytes.assign(reinterpret_cast<const uint8_t*>(value), reinterpret_cast<const uint8_t*>(value) + length);
    g_OptionCalls.push_back({level, name, std::move(bytes), done});
}

int WSAAPI HookSetOption(SOCKET s, int level, int name, const char* value, int length)
{
    const int result = g_RealSetOption(s, level, name, value, length);
    if (t_Own == 0)
        NoteOptionCall(level, name, value, length, result == 0);
    return result;
}

int WSAAPI HookBind(SOCKET s, const sockaddr* address, int length)
{
    if (t_Own != 0)
        return g_RealBind(s, address, length);
    if (g_FailBinds.load())
    {
        NoteOptionCall(kBindCall, 0, reinterpret_cast<const char*>(address), length, false);
        WSASetLastError(WSAEADDRNOTAVAIL);
        return SOCKET_ERROR;
    }
    const int result = g_RealBind(s, address, length);
    NoteOptionCall(kBindCall, 0, reinterpret_cast<const char*>(address), length, result == 0);
    return result;
}

SOCKET WSAAPI HookAccept(SOCKET s, sockaddr* address, int* length)
{
    if (t_Own != 0)
        return g_RealAccept(s, address, length);
    ++g_AcceptCalls;
    if (const int error = g_FailAcceptError.load())
    {
        WSASetLastError(error);
        return INVALID_SOCKET;
    }
    return g_RealAccept(s, address, length);
}

// Every import slot of this program for `function` from `dll`.
std::vector<void**> FindSlots(const char* dll, const char* function)
{
    std::vector<void**> slots;
    uint8_t* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return slots;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name != 0;
         ++import)
    {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                slots.push_back(reinterpret_cast<void**>(&addresses->u1.Function));
        }
    }
    return slots;
}

template <class Fn>
bool Patch(const char* dll, const char* function, Fn hook, Fn& real)
{
    const std::vector<void**> slots = FindSlots(dll, function);
    if (slots.empty())
        return false;
    real = reinterpret_cast<Fn>(*slots.front());
    for (void** slot : slots)
    {
        DWORD old = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
        *slot = reinterpret_cast<void*>(hook);
        VirtualProtect(slot, sizeof(void*), old, &old);
    }
    return true;
}
}  // namespace

bool Install()
{
    // Before anything has called through the slots: the compiler may keep an
    // import's address in a register once loaded.
    constexpr char ws2[] = "ws2_32.dll";
    constexpr char kernel[] = "kernel32.dll";
    bool ok = Patch(ws2, "WSAStartup", &HookStartup, g_RealStartup);
    ok = Patch(ws2, "WSACleanup", &HookCleanup, g_RealCleanup) && ok;
    ok = Patch(ws2, "socket", &HookSocket, g_RealSocket) && ok;
    ok = Patch(ws2, "closesocket", &HookClose, g_RealClose) && ok;
    ok = Patch(ws2, "sendto", &HookSendTo, g_RealSendTo) && ok;
    ok = Patch(ws2, "WSAGetLastError", &HookLastError, g_RealLastError) && ok;
    ok = Patch(kernel, "OutputDebugStringW", &HookDebugString, g_RealDebugString) && ok;
    ok = Patch(kernel, "GetTickCount", &HookTick, g_RealTick) && ok;
    ok = Patch(kernel, "FormatMessageW", &HookFormat, g_RealFormat) && ok;
    // Whichever of these the module uses to make its destination: each is a
    // point inside a start where the Any hook runs.
    Patch(ws2, "htons", &HookHtons, g_RealHtons);
    Patch(ws2, "inet_pton", &HookPton, g_RealPton);
    Patch(ws2, "inet_addr", &HookAddr, g_RealAddr);
    ok = Patch(ws2, "setsockopt", &HookSetOption, g_RealSetOption) && ok;
    ok = Patch(ws2, "bind", &HookBind, g_RealBind) && ok;
    // Only the programs that link the URL server import accept().
    Patch(ws2, "accept", &HookAccept, g_RealAccept);
    g_Installed = ok;
    return ok;
}

bool Installed()
{
    return g_Installed;
}

Counts Now()
{
    int debugLines;
    {
        std::lock_guard<std::mutex> lock(g_Mutex);
        debugLines = static_cast<int>(g_DebugText.size());
    }
    return {g_Startups.load(),   g_Cleanups.load(),  g_Sockets.load(),   g_Closes.load(), g_Sends.load(),
            g_Accepted.load(),   g_LastErrors.load(), g_TickReads.load(), g_Formats.load(), debugLines};
}

int LowestBalance()
{
    return g_Lowest.load();
}

void FailSockets(bool fail)
{
    g_FailSockets = fail;
}

void FailStartups(bool fail)
{
    g_FailStartups = fail;
}

void RefuseSends(int error, int every)
{
    g_RefuseError = error;
    g_RefuseCount = 0;
    g_RefuseEvery = every;
}

void FailBinds(bool fail)
{
    g_FailBinds = fail;
}

void FailAccepts(int error)
{
    g_FailAcceptError = error;
}

int Accepts()
{
    return g_AcceptCalls.load();
}

void OnCall(Call call, std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(g_HookMutex);
    g_Hooks[static_cast<int>(call)] = std::move(hook);
}

Bytes LastDestination()
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    return g_LastDestination;
}

std::vector<std::wstring> DebugLines()
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    return g_DebugText;
}

void ClearOptionCalls()
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_OptionCalls.clear();
}

std::vector<OptionCall> OptionCalls()
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    return g_OptionCalls;
}

void StartLog()
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Log.clear();
    g_Logging = true;
}

void Mark(Event event)
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    if (g_Logging)
        g_Log.push_back({event, false, 0, 0, GetCurrentThreadId(), INVALID_SOCKET, {}});
}

std::vector<LogEntry> StopLog()
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Logging = false;
    return std::move(g_Log);
}

OwnCalls::OwnCalls()
{
    ++t_Own;
}

OwnCalls::~OwnCalls()
{
    --t_Own;
}
}  // namespace WinsockProbe

// ---------------------------------------------------------------------------
namespace
{
// Under Wine a crashed test program has been seen to end with exit code 0;
// a fault must fail the run whatever the debugger set-up of the prefix.
LONG WINAPI FailOnCrash(EXCEPTION_POINTERS* info)
{
    std::fprintf(stderr, "\nFATAL: unhandled exception 0x%08lx at %p\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 70);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

int main(int argc, char** argv)
{
    SetUnhandledExceptionFilter(FailOnCrash);
    const bool hooked = WinsockProbe::Install();
    ::testing::InitGoogleTest(&argc, argv);
    if (!hooked)
        std::fprintf(stderr, "could not patch this program's ws2_32 import slots\n");

    // The program's own use of the socket library, held for the whole run.
    WSADATA data;
    {
        WinsockProbe::OwnCalls own;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        {
            std::fprintf(stderr, "WSAStartup failed\n");
            return 1;
        }
    }
    const int result = RUN_ALL_TESTS();
    WinsockProbe::OwnCalls own;
    WSACleanup();
    return result;
}
