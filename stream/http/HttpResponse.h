#pragma once
// Status lines and headers the server sends, written into a caller's fixed
// buffer. Every response closes the connection after its body. Each writer
// returns the bytes written, or 0 when they would not fit in `capacity`
// (nothing usable is left in the buffer then).

#include <cstddef>

constexpr int kHttpRetryAfterSeconds = 10;      // 503: a viewer's place may free up soon
constexpr size_t kHttpResponseHeadCapacity = 512; // enough for every head below

// The head of a live transport stream: "HTTP/1.1 200 OK", video/mp2t,
// no-cache, Connection: close, and deliberately no Content-Length, chunking
// or Accept-Ranges: players take any of those as a file to seek in.
size_t WriteStreamResponseHead(char* buffer, size_t capacity);

// The head of a live stream for a client that asked for DLNA's headers
// ("getcontentFeatures.dlna.org: 1", TVs): the DLNA MIME type
// ("video/mpeg"), contentFeatures.dlna.org as given, transferMode.dlna.org:
// Streaming and Accept-Ranges: none (players seek only on "bytes"); still no
// Content-Length, so a Range is answered with the whole stream.
size_t WriteDlnaStreamResponseHead(char* buffer, size_t capacity, const char* mimeType, const char* contentFeatures);

// The head of a page or playlist of `contentLength` bytes with the given
// Content-Type (e.g. "text/html; charset=utf-8", "audio/x-mpegurl"); a
// status other than 200 for a document that says what failed (a SOAP fault
// is 500).
size_t WriteContentResponseHead(char* buffer, size_t capacity, const char* contentType, size_t contentLength,
                                int status = 200);

// A complete refusal: 400, 403, 404, 405 (with "Allow: GET, HEAD"), 411, 413, 431,
// 503 (with Retry-After), 505, any other status as 500. A short text/plain
// body follows the head unless `withBody` is false (answering HEAD); the
// Content-Length is the same either way.
size_t WriteErrorResponse(char* buffer, size_t capacity, int status, bool withBody);

// The reason phrase of a status this server sends ("Not Found"), or
// "Internal Server Error" for any other.
const char* HttpReasonPhrase(int status);
