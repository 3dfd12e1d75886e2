#include "http/HttpResponse.h"

#include "http/TextWriter.h"

namespace {

size_t Finish(const CTextWriter& writer)
{
    return writer.Fits() ? writer.Length() : 0;
}

} // namespace

const char* HttpReasonPhrase(int status)
{
    switch (status)
    {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Internal Server Error";
    }
}

size_t WriteStreamResponseHead(char* buffer, size_t capacity)
{
    CTextWriter writer(buffer, capacity);
    writer.Put("HTTP/1.1 200 OK\r\n"
               "Content-Type: video/mp2t\r\n"
               "Cache-Control: no-cache\r\n"
               "Connection: close\r\n"
               "\r\n");
    return Finish(writer);
}

size_t WriteDlnaStreamResponseHead(char* buffer, size_t capacity, const char* mimeType, const char* contentFeatures)
{
    CTextWriter writer(buffer, capacity);
    writer.Put("HTTP/1.1 200 OK\r\nContent-Type: ");
    writer.Put(mimeType);
    writer.Put("\r\ncontentFeatures.dlna.org: ");
    writer.Put(contentFeatures);
    writer.Put("\r\ntransferMode.dlna.org: Streaming\r\n"
               "Accept-Ranges: none\r\n"
               "Cache-Control: no-cache\r\n"
               "Connection: close\r\n"
               "\r\n");
    return Finish(writer);
}

size_t WriteContentResponseHead(char* buffer, size_t capacity, const char* contentType, size_t contentLength,
                                int status)
{
    CTextWriter writer(buffer, capacity);
    writer.Put("HTTP/1.1 ");
    writer.PutDecimal(static_cast<uint64_t>(status));
    writer.Put(' ');
    writer.Put(HttpReasonPhrase(status));
    writer.Put("\r\nContent-Type: ");
    writer.Put(contentType);
    writer.Put("\r\nContent-Length: ");
    writer.PutDecimal(contentLength);
    writer.Put("\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n");
    return Finish(writer);
}

size_t WriteErrorResponse(char* buffer, size_t capacity, int status, bool withBody)
{
    switch (status)
    {
    case 400: case 403: case 404: case 405: case 411: case 413: case 431: case 503: case 505:
        break;
    default:
        status = 500;
    }
    const char* reason = HttpReasonPhrase(status);
    // Body: "404 Not Found\n"
    const size_t bodyLength = 3 + 1 + std::strlen(reason) + 1;

    CTextWriter writer(buffer, capacity);
    writer.Put("HTTP/1.1 ");
    writer.PutDecimal(static_cast<uint64_t>(status));
    writer.Put(' ');
    writer.Put(reason);
    writer.Put("\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ");
    writer.PutDecimal(bodyLength);
    if (status == 405)
        writer.Put("\r\nAllow: GET, HEAD");
    if (status == 503)
    {
        writer.Put("\r\nRetry-After: ");
        writer.PutDecimal(kHttpRetryAfterSeconds);
    }
    writer.Put("\r\nConnection: close\r\n\r\n");
    if (withBody)
    {
        writer.PutDecimal(static_cast<uint64_t>(status));
        writer.Put(' ');
        writer.Put(reason);
        writer.Put('\n');
    }
    return Finish(writer);
}
