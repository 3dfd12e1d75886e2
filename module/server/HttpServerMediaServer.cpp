// The media server for TVs: its descriptions (/upnp/description.xml and its
// two services) and the answers to its control requests (a SOAP body POSTed
// to /upnp/control/<service>, read whole within the request's buffer and
// time limit before it is parsed).

#include "server/HttpServerLoop.h"

#include "discovery/UpnpDescription.h"

void CServerLoop::AnswerUpnpDescription(SConnection& c, const SHttpRequest& request, bool head)
{
    const char* xml = "text/xml; charset=\"utf-8\"";
    if (request.Route == EHttpRoute::UpnpService)
    {
        const EUpnpService service = request.UpnpService == EHttpUpnpService::ContentDirectory
                                         ? EUpnpService::ContentDirectory
                                         : EUpnpService::ConnectionManager;
        ReplyMeasured(c, head, xml,
                      [&](char* out, size_t capacity) { return WriteServiceDescription(service, out, capacity); });
        return;
    }
    char host[kHttpHostTextCapacity];
    HostForUrls(c, request, host);
    SUpnpDevice device;
    device.ComputerName = m_Connections.ComputerName;
    device.Udn = m_Connections.Udn;
    device.HostPort = host;
    ReplyMeasured(c, head, xml, [&](char* out, size_t capacity) { return WriteDeviceDescription(device, out, capacity); });
}

void CServerLoop::AnswerControl(SConnection& c, const SHttpRequest& request)
{
    const char* xml = "text/xml; charset=\"utf-8\"";
    const char* body = c.Request + request.nHeadLength;
    if (ParseSoapRequest(body, request.nContentLength, m_Connections.Soap) != ESoapParse::Request)
    {
        ReplyMeasured(c, false, xml, [](char* out, size_t capacity) { return WriteSoapFault(402, out, capacity); }, 500);
        return;
    }
    char host[kHttpHostTextCapacity];
    HostForUrls(c, request, host);
    char title[sizeof "Tovrin TS Streamer ()" + kComputerNameMaxBytes];
    CTextWriter titleWriter(title, sizeof title);
    titleWriter.Put("Tovrin TS Streamer (");
    titleWriter.Put(m_Connections.ComputerName);
    titleWriter.Put(')');
    m_FanOut.Programs().Snapshot(m_Connections.Programs);
    ListEventsNow(m_Connections.EventsNow);
    SMediaServerState state;
    state.Library.Programs = &m_Connections.Programs;
    state.Library.Now = &m_Connections.EventsNow;
    state.Library.HostPort = host;
    state.Library.Title = title;
    state.SystemUpdateId = ProgramListUpdateId(m_Connections.Programs);
    // The status first (a fault is 500), then the answer measured and written.
    int status = 200;
    WriteSoapAnswer(m_Connections.Soap, state, m_Connections.Didl, nullptr, 0, status);
    ReplyMeasured(
        c, false, xml,
        [&](char* out, size_t capacity) {
            int same = 0;
            return WriteSoapAnswer(m_Connections.Soap, state, m_Connections.Didl, out, capacity, same);
        },
        status);
}
