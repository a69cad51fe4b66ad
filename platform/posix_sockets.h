// The seam between Windows Sockets over BSD sockets (platform/posix) and the back end that
// owns the event loop, plus the hooks tests and the command line use to see and provoke
// socket failures.
//
// WSAAsyncSelect hands a socket to the loop with WatchSocket; the loop posts the window
// message when the descriptor is readable, once, and again only after SocketReceived tells
// it that the program has received (the Windows re-enabling rule). closesocket calls
// UnwatchSocket; messages already queued stay queued.
#pragma once

#include "platform/winapi.h"

#include <functional>
#include <string>

namespace tvposix {

// Implemented by the back end's event loop.
void WatchSocket(SOCKET s, int fd, HWND hWnd, UINT wMsg, long lEvent);
void UnwatchSocket(SOCKET s);
void SocketReceived(SOCKET s);

// A failed socket call, as the program saw it. With error 0 it is a notice instead: the call
// did what Windows would report as done, but less of it (call "SO_RCVBUF": the system capped
// a receive buffer).
struct SocketFailure {
    std::string call;   // "socket", "bind", "setsockopt", ...
    int error;          // the WSAE* code the call set
    int port;           // the port a bind asked for, or a send went to; else 0
    std::string detail; // the system's own words for the underlying error, when there is one,
                        // and tavisol-sockets' reason where it was asked (posix/privileged.h)
    // The local address when the call was about one interface's ("10.198.0.1"): the one a
    // bind asked for, the one a sending socket is bound to, the one a send by a named
    // interface goes from. Empty for the wildcard address.
    std::string local = {};
};
using FailureObserver = std::function<void(const SocketFailure&)>;
void SetFailureObserver(FailureObserver observer);

// Makes the next `count` calls of `call` ("WSAStartup", "socket", "bind", "setsockopt",
// "WSAAsyncSelect", "sendto", "recvfrom") fail with `error` (count -1: every call). A filter
// narrows it: for bind the port, for setsockopt the option name, for socket the type. The ARP
// probe (platform/inuse.h) knows two, filtered by interface index: "ARP packet socket" (the
// packet socket refused, so the kernel's neighbour resolution stands in) and "ARP probe"
// (nothing at all can be sent there).
void InjectFailure(const std::string& call, int error, int count = 1, int filter = -1);
void ClearInjectedFailures();

// For the rest of platform/posix, which reports and injects as the socket calls do: the error
// injected for `call` (0 when none; counts it down), and a failure for the observer that
// also becomes WSAGetLastError.
int TakeInjectedFailure(const char* call, int subject);
int WsaErrorFromErrno(int e);
void ReportFailure(const char* call, int error, const std::string& detail,
                   const std::string& local);

// Closes every socket and forgets every WSAStartup: a clean slate for a new program run.
void ResetForNewRun();

// Sockets still open, and how many WSAStartup calls have not been matched by WSACleanup.
int OpenSocketCount();
int StartupCount();

// Descriptor behind a SOCKET, or -1.
int DescriptorOf(SOCKET s);

// Text for a WSAE* code ("WSAEACCES"), for messages.
const char* WsaErrorName(int error);

} // namespace tvposix
