#pragma once
// Where output 1 hands the whole stream besides its own socket (the URL
// server's viewers): an interface, so that outputs know nothing of the server.

class ITrafficTap
{
public:
    // Traffic thread: `length` bytes of whole packets.
    virtual void PutTraffic(const unsigned char* data, int length) = 0;

protected:
    ~ITrafficTap() = default;
};
