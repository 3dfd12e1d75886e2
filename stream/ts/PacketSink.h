#pragma once
// Where a stage of the stream path hands its output packets.

// Receives one whole 188-byte packet per call, in output order.
class IPacketSink
{
public:
    virtual void PutPacket(const unsigned char* packet) = 0;

protected:
    ~IPacketSink() = default;
};
