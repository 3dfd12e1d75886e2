#pragma once
// Session announcements (SAP, RFC 2974) of one output, each carrying its
// session description (SDP, RFC 4566), so that players that listen for them
// (VLC's "Network streams (SAP)", ffmpeg's sap://) list the output by name.
//
//   SAP header: V=1, IPv4, announcement or deletion, no authentication, no
//   compression; a message id hash that changes whenever the description
//   does; the originating source; "application/sdp"; then the SDP:
//
//   v=0
//   o=- <session id> <version> IN IP4 <origin>
//   s=<name>
//   i=<provider>                          (when known)
//   c=IN IP4 <group>/<ttl>                (unicast, broadcast: no /<ttl>)
//   t=0 0
//   a=tool:Tovrin TS Streamer
//   m=video <port> RTP/AVP 33             (plain UDP: m=video <port> udp MP2T)
//   a=rtpmap:33 MP2T/90000
//   a=x-fec-column-port:<port + 2>        (with FEC)
//   a=x-fec-row-port:<port + 4>
//
// Portable, fixed buffers, no allocation.

#include <cstdint>

constexpr uint16_t kSapPort = 9875;
constexpr int kSapPacketCapacity = 1024;  // well below any path's MTU
constexpr int kSapTextCapacity = 256;     // a name or provider in UTF-8, cut to fit

struct SSapSession
{
    uint8_t Origin[4] = {};        // the sending interface's address
    uint8_t Group[4] = {};         // the output's multicast group
    uint16_t Port = 0;             // the output's port
    int32_t Ttl = 0;               // the output's TTL; 0: the system's (1 for multicast)
    bool Rtp = true;               // RTP/AVP 33, else plain UDP
    bool Fec = false;              // parity at Port + 2 and + 4
    uint32_t SessionId = 0;        // stays the same for the output's life
    uint32_t Version = 0;          // changes when the description does
    char Name[kSapTextCapacity] = {};      // UTF-8, no control characters; empty: the module's name
    char Provider[kSapTextCapacity] = {};  // UTF-8; empty: no i= line
};

// Whether `group` is multicast; then `sapGroup` is where its scope's
// announcements go: 239.255.255.255 for 239.255.0.0/16, else 224.2.127.254.
bool SapGroupFor(const uint8_t (&group)[4], uint8_t (&sapGroup)[4]);

// The session's description, NUL-terminated; its length, or 0 when it does
// not fit `capacity`.
int WriteSessionDescription(const SSapSession& session, char* out, int capacity);

// Gives the session `name` and `provider` (UTF-8, cut to fit); when either
// differs from what it had, the description is a new version. True then.
bool RenameSession(SSapSession& session, const char* name, const char* provider);

// A SAP announcement (or, `deletion`, the deletion of the same session) with
// the description; its size, or 0 when it does not fit. The message id hash
// is taken from the description, so a changed description is a new message.
int WriteSapPacket(const SSapSession& session, bool deletion, unsigned char* out, int capacity);

// The message id hash of a packet that WriteSapPacket wrote.
inline uint16_t SapMessageIdHash(const unsigned char* packet)
{
    return static_cast<uint16_t>(packet[2] << 8 | packet[3]);
}

// How often all announcements together may go out: RFC 2974's limit of
// 4000 bit/s for a scope, kept below with a margin, but never more often
// than every kSapMinIntervalMs (peers announce every few seconds).
constexpr uint32_t kSapMinIntervalMs = 5000;
uint32_t SapIntervalMs(int totalBytesPerRound);
