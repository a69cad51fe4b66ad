// Datagrams by a named interface. On a workstation with several interfaces the program itself
// chooses where an answer goes (the responder answers by the interface its appliance's
// request came in on); these two calls say which interface, so that choice stays visible in
// the program's own code.
//
// Both keep every rule of recvfrom and sendto (errors as WSAE* codes, WSAEMSGSIZE for a
// datagram longer than the buffer, the next FD_READ of WSAAsyncSelect once the program has
// received).
#pragma once

#include "platform/winapi.h"

// recvfrom, and the index of the interface the datagram came in by in *pdwIfIndex: 0 when the
// system could not tell. The system tells only for datagrams that arrived after the program
// set IP_PKTINFO (level IPPROTO_IP) on the socket.
int RecvFromInterface(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen,
                      DWORD* pdwIfIndex);

// sendto, out of the interface with index dwIfIndex and from its address dwSourceAddr (network
// order) only: a datagram for 255.255.255.255 reaches that interface's segment and no other,
// whether or not a route covers it.
int SendToInterface(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to,
                    int tolen, DWORD dwIfIndex, DWORD dwSourceAddr);
