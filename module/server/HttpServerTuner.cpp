// The network tuner's documents that media servers read (/discover.json,
// /lineup.json, /lineup_status.json, the scan request /lineup.post answered
// without effect). Served whenever HttpPort is set, read-only like the
// playlist.

#include "server/HttpServerLoop.h"

#include "http/HttpResponse.h"

void CServerLoop::AnswerTuner(SConnection& c, const SHttpRequest& request, bool head)
{
    char host[kHttpHostTextCapacity];
    HostForUrls(c, request, host);
    const char* json = "application/json";
    switch (request.Route)
    {
    case EHttpRoute::TunerDiscover:
    {
        STunerDevice device;
        device.ComputerName = m_Connections.ComputerName;
        device.DeviceId = m_Connections.TunerId;
        device.nTuners = m_Options.MaxClients;
        device.HostPort = host;
        ReplyMeasured(c, head, json, [&](char* out, size_t capacity) { return WriteDiscoverJson(device, out, capacity); });
        return;
    }
    case EHttpRoute::TunerLineup:
        m_FanOut.Programs().Snapshot(m_Connections.Programs);
        ReplyMeasured(c, head, json, [&](char* out, size_t capacity) {
            return WriteLineupJson(m_Connections.Programs, host, out, capacity);
        });
        return;
    default:  // the status, and the scan request: nothing is scanned, the host tunes
        ReplyMeasured(c, head, json, [](char* out, size_t capacity) { return WriteLineupStatusJson(out, capacity); });
        return;
    }
}
