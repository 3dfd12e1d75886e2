#pragma once
// The stream's UDP socket and every option on it, set once at Start from the
// sending keys and the destination; the traffic path only sends.
//
// Under Wine, bind() takes any address, even one no interface has, and a
// socket bound to a local address sends from that address's interface rather
// than from the address: whether an address is this machine's is asked of the
// interface list, never of bind().

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "settings/SendOptions.h"

// "Cannot send from <19 characters>: " and the longest reason fit.
constexpr int kSendRefusalCapacity = 128;
using SendRefusalText = wchar_t[kSendRefusalCapacity];

// Calls `visit` with each IPv4 address (network order) of this machine's
// interfaces until it returns false. 0 when the table answered, else the
// error of the call.
DWORD VisitAddressesOfThisMachine(bool (*visit)(uint32_t address, void* context), void* context);

// True when one of this machine's interfaces has `address` (network order);
// else false with `refusal` reading "<action> <written>: <reason>", e.g.
// "Cannot listen on 10.0.0.9: no interface of this PC has it". A text that
// is no address at all (`malformed`) is refused the same way.
bool CheckAddressOfThisMachine(const wchar_t* action, const wchar_t* written, const uint8_t (&address)[4],
                               bool malformed, SendRefusalText& refusal);

// True when LocalIPAddress is absent or names an address of this machine;
// else false with `refusal` saying why. Needs no socket, so that a start can
// be refused before anything is registered with the host.
bool CheckLocalAddress(const SSendOptions& options, SendRefusalText& refusal);

// A UDP socket for datagrams to `destination`, configured from `options`
// whose LocalIPAddress CheckLocalAddress has accepted (the caller asks it
// first, before registering anything with the host): bound to it (port 0) and, for a multicast group, sending through
// its interface; TTL as the destination needs it (multicast or unicast);
// SO_SNDBUF; SO_BROADCAST, so that a broadcast destination works: the caller
// passes only an address the user wrote out in full, never one that inet_addr
// made 255.255.255.255 of some other text. Multicast loopback is left as the
// system has it, so that a player on this PC receives too.
//
// INVALID_SOCKET when it cannot: `refusal` then says why ("Cannot open a
// socket: <reason>" when no socket could be made at all). A TTL, buffer size
// or broadcast permission that the system does not take is not a refusal; a
// source address or multicast interface that it does not take is one:
// streaming from another interface than the user named is worse than not
// streaming.
SOCKET OpenUdpSender(const SSendOptions& options, const sockaddr_in& destination, SendRefusalText& refusal);

// The address this PC sends to `destination` from: the route's, asked of a
// socket that is connected but never sends. 0.0.0.0 when the system cannot
// say. Needs the socket library started.
void RouteSourceAddress(const sockaddr_in& destination, uint8_t (&address)[4]);
