#pragma once
// Scaffolding for the tests that drive CPidDataWriter directly under Wine:
// a scripted host device, a UDP receiver on 127.0.0.1, a private INI file,
// generated transport-stream packets, and a count of the socket calls that
// the module makes. Every test program links ModuleTestSupport.cpp, which
// also holds main().

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ts/CriticalSection.h"
#include "writer/PidDataWriter.h"
#include "entry/PidRecorderModuleApi2Manager.h"
#include "host/host_api.h"

using Bytes = std::vector<uint8_t>;

// For messages and INI lines: the tests' texts are ASCII.
inline std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

constexpr int kPacket = 188;
constexpr int kHeader = 12;
constexpr int32_t kTransportStream = 129;

// ---------------------------------------------------------------------------
// Private state of the module object, for reading and for setting up cases
// that would otherwise take 65535 datagrams.
class CPidDataWriterTestAccess
{
public:
    explicit CPidDataWriterTestAccess(CPidDataWriter& writer) : m_Writer(writer) {}
    explicit CPidDataWriterTestAccess(KelvModuleApi2::IReceiverModule* module)
        : m_Writer(*static_cast<CPidDataWriter*>(module))
    {
    }

    CPidDataWriter& Writer() const { return m_Writer; }
    KelvModuleApi2::SEngineFilter::IReceiver* ReceiverFace() const { return &m_Writer; }

    bool Streaming() const { return m_Writer.m_bStreaming != 0; }
    SOCKET Socket() const { return First().m_Socket; }
    int FilterHandle() const { return m_Writer.m_nFilterHandle; }
    int ChunkSize() const { return First().m_nChunkSize; }
    int Buffered() const { return First().m_nBuffered; }
    int PacketsPerDatagram() const { return First().m_Settings.Packets; }
    uint16_t Port() const { return First().m_Settings.Port; }
    int WsaStartups() const { return m_Writer.m_nWsaStartups; }
    std::wstring Address() const { return std::wstring(First().m_Settings.szAddress, AddressLength()); }
    // The whole 20-character field, terminator and fill included.
    std::wstring AddressField() const { return std::wstring(First().m_Settings.szAddress, 20); }
    sockaddr_in Destination() const { return First().m_DestAddr; }
    std::wstring StartRefusal() const { return m_Writer.m_szStartRefusal; }
    const SSendOptions& SendOptions() const { return First().m_Settings.Send; }
    const SProgramSelection& Programs() const { return First().m_Settings.Programs; }
    int ProgramsPresent() const { return First().m_nProgramsPresent; }
    // The options dialog's description line as it would show now.
    std::wstring Description() const
    {
        wchar_t text[200];
        m_Writer.m_Dialog.FormatDescription(text);
        return text;
    }
    // What the open dialog does once a status period (100: its timer's id),
    // without a dialog: the line's state moves on as it would.
    void StatusPeriod() const { m_Writer.m_Dialog.MyDlgWindowProc(nullptr, WM_TIMER, 100, 0); }
    CSendFailures SendFailures() const
    {
        SafeCriticalSection guard(m_Writer.m_cs);
        return First().m_Stream.Failures();
    }
    uint32_t StartTick() const { return m_Writer.m_dwStartTick; }
    critical_section& Lock() const { return m_Writer.m_cs; }
    // Whether another thread could take the module's lock at this moment.
    bool LockIsFree() const
    {
        bool free = false;
        std::thread other([&] {
            free = m_Writer.m_cs.TryLock();
            if (free)
                m_Writer.m_cs.Unlock();
        });
        other.join();
        return free;
    }

    void SetPort(uint16_t port) { First().m_Settings.Port = port; }
    void SetAddress(const std::wstring& text)
    {
        wchar_t(&field)[20] = First().m_Settings.szAddress;
        std::fill(std::begin(field), std::end(field), L'\0');
        text.copy(field, 19);
    }
    void SetStartTick(uint32_t tick) { m_Writer.m_dwStartTick = tick; }

    struct Counters
    {
        uint16_t sequence;
        uint32_t timestamp;
        long long totalBytes;
    };
    // Under the module's own lock, so that a sender on an engine thread and the
    // test never touch the counters at once.
    Counters ReadCounters() const
    {
        SafeCriticalSection guard(m_Writer.m_cs);
        return {First().m_Stream.Sequence(), First().m_Stream.Timestamp(),
                static_cast<long long>(m_Writer.m_llTotalBytes)};
    }
    void SetCounters(uint16_t sequence, uint32_t timestamp, long long totalBytes)
    {
        SafeCriticalSection guard(m_Writer.m_cs);
        First().m_Stream.SetCounters(sequence, timestamp);
        m_Writer.m_llTotalBytes = totalBytes;
    }

private:
    size_t AddressLength() const
    {
        size_t n = 0;
        while (n < 20 && First().m_Settings.szAddress[n] != 0)
            ++n;
        return n;
    }
    COutput& First() const { return m_Writer.m_Outputs[0]; }

    CPidDataWriter& m_Writer;
};

// ---------------------------------------------------------------------------
// Module objects made and ended through the unit, as the host does it.
struct ModuleDestroyer
{
    void operator()(KelvModuleApi2::IReceiverModule* module) const { g_UnitManager.DestroyModule(module); }
};
using ModulePtr = std::unique_ptr<KelvModuleApi2::IReceiverModule, ModuleDestroyer>;

ModulePtr CreateModule(KelvModuleApi2::IDeviceModule* device);

// ---------------------------------------------------------------------------
// Transport-stream packets that carry their own running number, so that a
// receiver can tell order, loss and torn packets apart.
namespace TsPackets
{
void Fill(uint8_t* packet, uint32_t counter);
Bytes Make(uint32_t firstCounter, int count);
// The number Fill wrote into the packet, or -1 when any byte differs from
// what Fill would have written.
int64_t CounterOf(const uint8_t* packet);
}  // namespace TsPackets

// ---------------------------------------------------------------------------
// A host device whose answers the test sets and whose calls it can inspect.
enum class DeviceOp
{
    Reserved,
    GetDeviceInfo,
    AddEngineFilter,
    RemoveEngineFilter
};

struct DeviceCall
{
    DeviceOp op;
    Bytes record;   // the record as handed in, before the device wrote to it
    int handle;     // returned by Add, passed to Remove
};

class ScriptedDevice : public KelvModuleApi2::IDeviceModule
{
public:
    explicit ScriptedDevice(int32_t transportType = kTransportStream) : m_TransportType(transportType) {}

    void Reserved0() override { Log({DeviceOp::Reserved, {}, 0}); }
    void Reserved1() override { Log({DeviceOp::Reserved, {}, 1}); }
    int GetDeviceInfo(KelvModuleApi2::SModuleInfo* info) override;
    int AddEngineFilter(KelvModuleApi2::SEngineFilter* filter) override;
    int RemoveEngineFilter(int handle) override;

    // The engine side: hands one block to the registered receiver. Returns
    // false when no receiver is registered. Delivery and removal exclude each
    // other, so once RemoveEngineFilter has returned nothing reaches the
    // receiver any more.
    bool Deliver(uint8_t* data, int length);
    uint64_t Deliveries() const { return m_Deliveries.load(); }

    void SetTransportType(int32_t type) { m_TransportType = type; }
    // The handle the next AddEngineFilter returns; by default 1, 2, 3, ...
    void SetNextHandle(int handle) { m_NextHandle = handle; }
    // Runs inside RemoveEngineFilter, before the receiver is dropped.
    void OnRemove(std::function<void()> hook) { m_OnRemove = std::move(hook); }
    // Forgets a receiver that the module never removes (handle 0).
    void DropReceiver();

    KelvModuleApi2::SEngineFilter::IReceiver* Receiver();
    std::vector<DeviceCall> Calls() const;
    size_t CallCount() const;
    size_t CallCount(DeviceOp op) const;

private:
    void Log(DeviceCall call);

    std::atomic<int32_t> m_TransportType;
    int m_NextHandle = 1;
    std::function<void()> m_OnRemove;

    mutable std::mutex m_CallsMutex;
    std::vector<DeviceCall> m_Calls;

    // Delivery and registration exclude each other. A registration that waits
    // raises m_HostWaiting, and the engine then leaves the lock alone, so that a
    // delivery loop running at full speed cannot starve it.
    std::mutex m_DeliveryMutex;
    std::atomic<int> m_HostWaiting{0};
    KelvModuleApi2::SEngineFilter::IReceiver* m_Receiver = nullptr;
    int m_ActiveHandle = 0;
    std::atomic<uint64_t> m_Deliveries{0};
};

// An engine thread that delivers numbered packets through the device as fast
// as it can, in blocks of 1 to maxPacketsPerBlock packets. `mayDeliver`, when
// given, holds it back while it answers false (flow control for a receiver
// that has to keep up).
class EngineThread
{
public:
    EngineThread(ScriptedDevice& device, int maxPacketsPerBlock, std::function<bool()> mayDeliver = {});
    ~EngineThread();
    void Stop();

private:
    void Run();

    ScriptedDevice& m_Device;
    const int m_MaxPackets;
    std::function<bool()> m_MayDeliver;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

// ---------------------------------------------------------------------------
// RTP header fields of a received datagram.
inline bool HasFixedRtpHeader(const Bytes& d)
{
    return d.size() >= kHeader && d[0] == 0x80 && d[1] == 0x21 && d[8] == 0 && d[9] == 0 && d[10] == 0 &&
           d[11] == 0;
}
inline uint16_t SequenceOf(const Bytes& d) { return static_cast<uint16_t>(d[2] << 8 | d[3]); }
inline uint32_t TimestampOf(const Bytes& d)
{
    return static_cast<uint32_t>(d[4]) << 24 | static_cast<uint32_t>(d[5]) << 16 | static_cast<uint32_t>(d[6]) << 8 |
           d[7];
}
inline Bytes PayloadOf(const Bytes& d) { return Bytes(d.begin() + kHeader, d.end()); }

// The performance counter, which the clock timestamps follow, and seconds
// between two of its readings.
inline LARGE_INTEGER Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}
inline double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A UDP socket bound to 127.0.0.1 with a large receive buffer. Absence of
// datagrams is proven without waiting: a marker is sent from a socket of the
// test's own, and on loopback whatever the queue holds in front of it was sent
// before it.
class UdpReceiver
{
public:
    explicit UdpReceiver(uint16_t port = 0);  // 0: an ephemeral port
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool Bound() const { return m_Socket != INVALID_SOCKET; }
    uint16_t Port() const { return m_Port; }

    // Sends a marker and returns every datagram that arrived before it.
    std::vector<Bytes> DrainUntilMarker();

    // Background collection for traffic that arrives while the test thread is
    // busy: markers go into the list as they come (see IsMarker).
    void StartCollecting();
    std::vector<Bytes> StopCollecting();
    uint64_t Collected() const { return m_CollectedCount.load(); }  // markers not counted
    void SendMarker(uint32_t id);
    static bool IsMarker(const Bytes& datagram, uint32_t* id);

private:
    bool Receive(Bytes& datagram);  // false after the safety timeout

    SOCKET m_Socket = INVALID_SOCKET;
    SOCKET m_Sender = INVALID_SOCKET;
    uint16_t m_Port = 0;
    uint32_t m_NextMarker = 1;
    std::thread m_Collector;
    std::vector<Bytes> m_Collected;
    std::atomic<uint64_t> m_CollectedCount{0};
};

// ---------------------------------------------------------------------------
// A folder of its own under the temporary folder with the host's INI file in
// it; the unit is told about it as the host tells it.
class TempIniFolder
{
public:
    TempIniFolder();
    ~TempIniFolder();
    TempIniFolder(const TempIniFolder&) = delete;
    TempIniFolder& operator=(const TempIniFolder&) = delete;

    const std::wstring& IniPath() const { return m_Ini; }
    // GetInfo with a proper unit record naming this INI file.
    bool HandToUnit() const;

    bool Exists() const;
    void WriteBytes(const std::string& bytes) const;
    std::string ReadBytes() const;
    // Through the real private-profile functions, section "TovrinStreamer".
    std::wstring ReadKey(const wchar_t* key) const;  // L"<missing>" when absent
    void WriteKey(const wchar_t* key, const std::wstring& value) const;

private:
    std::wstring m_Folder;
    std::wstring m_Ini;
};

// ---------------------------------------------------------------------------
// The module's socket calls, and the few system calls around them that the
// sender may make, seen by patching this program's import slots once at
// start-up (the module is linked into it); every call is passed on to the
// real function unless a switch below says otherwise.
namespace WinsockProbe
{
struct Counts
{
    int startups;       // WSAStartup calls that succeeded
    int cleanups;
    int sockets;        // socket() calls, failed ones included
    int closes;
    int sends;          // sendto() calls
    int acceptedSends;  // sendto() calls that the socket accepted
    int lastErrors;     // WSAGetLastError calls
    int tickReads;      // GetTickCount calls
    int formats;        // FormatMessageW calls
    int debugLines;     // OutputDebugStringW calls
};

// False when a slot could not be found; the tests that need it then fail.
bool Install();
bool Installed();
Counts Now();
// Lowest value that startups − cleanups reached: negative means a cleanup
// without a start of the module's own.
int LowestBalance();
// While set, socket() fails as it would without the socket library.
void FailSockets(bool fail);
// While set, WSAStartup fails (WSASYSNOTREADY) without starting anything.
void FailStartups(bool fail);
// Every `every`-th sendto of the module from now on (the first included)
// fails with `error` without sending, as on a link that is down; 0 stops it.
void RefuseSends(int error, int every);
// While set, the module's bind() fails as for an address the system lacks.
void FailBinds(bool fail);
// While not 0, the module's accept() fails with this error and takes no
// connection, so that what waits in the backlog keeps the listener readable.
void FailAccepts(int error);
// The module's accept() calls so far, failed ones included.
int Accepts();
// Runs on the calling thread inside the module's next calls of socket(),
// closesocket() or sendto(), before the real function; Any runs inside every
// socket-library call (those three, WSAStartup, WSACleanup, and the address
// helpers htons, inet_pton and inet_addr). Empty to stop.
enum class Call
{
    Socket,
    Close,
    SendTo,
    Any
};
void OnCall(Call call, std::function<void()> hook);
// The destination of the latest sendto, as the module passed it.
Bytes LastDestination();
// Every line the module wrote with OutputDebugStringW, in order.
std::vector<std::wstring> DebugLines();

// The module's setsockopt and bind calls since the latest ClearOptionCalls.
constexpr int kBindCall = -1;  // no option level (IPPROTO_IP is 0)
struct OptionCall
{
    int level;   // kBindCall for a bind
    int name;
    Bytes value; // the option's bytes, or the bound address
    bool done;   // the call succeeded
};
void ClearOptionCalls();
std::vector<OptionCall> OptionCalls();

// An ordered log of the module's sends and of points the test marks, for the
// stress tests. Records only while enabled.
enum class Event
{
    Send,
    StartCalled,
    StopReturned
};
struct LogEntry
{
    Event event;
    bool accepted;
    uint16_t sequence;
    int size;
    DWORD thread;
    SOCKET socket;
    sockaddr_in destination;  // zero unless a whole IPv4 address was passed
};
void StartLog();
void Mark(Event event);
std::vector<LogEntry> StopLog();

// Socket calls of the test's own, made on this thread while an object of this
// class lives, are passed through uncounted.
class OwnCalls
{
public:
    OwnCalls();
    ~OwnCalls();
};
}  // namespace WinsockProbe

// Memory whose last byte is followed by a page that faults on any access: a
// block placed at its end shows any read past the block as a crash.
class GuardedBlock
{
public:
    explicit GuardedBlock(const Bytes& content);
    ~GuardedBlock();
    uint8_t* data() const { return m_Data; }
    int size() const { return m_Size; }

private:
    void* m_Base = nullptr;
    uint8_t* m_Data = nullptr;
    int m_Size = 0;
};
