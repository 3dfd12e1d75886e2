#pragma once
// Sizes that fix the shape of the stream: MPEG transport-stream packets
// (ISO/IEC 13818-1) carried N at a time behind an RTP header (RFC 3550).

constexpr int kTsPacketSize = 188;          // one transport-stream packet
constexpr unsigned char kTsSyncByte = 0x47; // first byte of every packet
constexpr int kMinPacketsPerChunk = 1;
constexpr int kMaxPacketsPerChunk = 7;      // 7 x 188 + 12 fits a 1500-byte Ethernet MTU
constexpr int kMaxChunkSize = kMaxPacketsPerChunk * kTsPacketSize;  // 1316
constexpr int kRtpHeaderSize = 12;
constexpr int kMaxDatagramSize = kRtpHeaderSize + kMaxChunkSize;    // 1328
