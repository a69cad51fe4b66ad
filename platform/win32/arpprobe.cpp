// The in-use check's ARP probe and echo on Windows, with what IP Helper gives every user.
//
// SendARP resolves an address on the interface of a source address and blocks until the
// answer or its own time-out (about a second or more), so each probe runs on a thread of its
// own, and Answered waits for the first answer or the caller's limit, whichever is sooner.
// A probe still running when the limit passes finishes alone and frees its own record.
// SendARP answers from the ARP cache when the address is there, which counts as in use.
// Wine (8.0) has SendARP as a stub that fails with ERROR_NOT_SUPPORTED at once: there the
// probe tells nothing and the echo alone decides. Its IcmpSendEcho is real.
#include "platform/inuse.h"

#include <iphlpapi.h>
#include <icmpapi.h>

#include <vector>

namespace {

// Shared by a probe's thread and the dialog until both have let go of it.
struct ArpRequest {
    LONG nReferences = 2;
    DWORD dwDest = 0;
    DWORD dwSource = 0;
    DWORD dwResult = ERROR_IO_PENDING;
    ULONG ulHwLength = 0;
};

void Release(ArpRequest* pRequest) {
    if (::InterlockedDecrement(&pRequest->nReferences) == 0)
        delete pRequest;
}

DWORD WINAPI ResolveThread(LPVOID pParam) {
    auto* pRequest = static_cast<ArpRequest*>(pParam);
    BYTE hw[8] = {};
    ULONG ulLength = sizeof hw;
    DWORD dwResult = ::SendARP(pRequest->dwDest, pRequest->dwSource, hw, &ulLength);
    pRequest->ulHwLength = dwResult == NO_ERROR ? ulLength : 0;
    pRequest->dwResult = dwResult;
    Release(pRequest);
    return 0;
}

int WsaFromWin32(DWORD dwError) {
    switch (dwError) {
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
        return WSAEOPNOTSUPP;
    case ERROR_NOT_ENOUGH_MEMORY:
        return WSAENOBUFS;
    case ERROR_ACCESS_DENIED:
        return WSAEACCES;
    default:
        return WSAEINVAL;
    }
}

} // namespace

struct CArpProbe::Impl {
    struct Pending {
        HANDLE hThread;
        ArpRequest* pRequest;
    };
    std::vector<Pending> pending;
    DWORD dwFirstSend = 0;

    void CloseAll() {
        for (const Pending& p : pending) {
            ::CloseHandle(p.hThread);
            Release(p.pRequest);
        }
        pending.clear();
    }
};

CArpProbe::CArpProbe() : m_pImpl(std::make_unique<Impl>()) {}

CArpProbe::~CArpProbe() {
    m_pImpl->CloseAll();
}

BOOL CArpProbe::Send(const NET_INTERFACE& iface, DWORD dwAddress) {
    if (m_pImpl->pending.empty())
        m_pImpl->dwFirstSend = ::GetTickCount();
    auto* pRequest = new ArpRequest;
    pRequest->dwDest = dwAddress;
    pRequest->dwSource = iface.dwAddr;
    HANDLE hThread = ::CreateThread(nullptr, 0, ResolveThread, pRequest, 0, nullptr);
    if (!hThread) {
        ::WSASetLastError(WsaFromWin32(::GetLastError()));
        delete pRequest;
        return FALSE;
    }
    m_pImpl->pending.push_back({hThread, pRequest});
    return TRUE;
}

BOOL CArpProbe::Answered(DWORD dwWindowMs) {
    std::vector<Impl::Pending>& pending = m_pImpl->pending;
    const DWORD dwStart = m_pImpl->dwFirstSend;
    std::vector<bool> done(pending.size(), false);
    for (;;) {
        std::vector<HANDLE> running;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (done[i])
                continue;
            if (::WaitForSingleObject(pending[i].hThread, 0) != WAIT_OBJECT_0) {
                running.push_back(pending[i].hThread);
                continue;
            }
            done[i] = true;
            const ArpRequest& request = *pending[i].pRequest;
            if (request.dwResult == NO_ERROR && request.ulHwLength > 0)
                return TRUE;
            if (request.dwResult != ERROR_BAD_NET_NAME && request.dwResult != ERROR_GEN_FAILURE)
                ::WSASetLastError(WsaFromWin32(request.dwResult));
        }
        DWORD dwSpent = ::GetTickCount() - dwStart;
        if (running.empty() || dwSpent >= dwWindowMs)
            return FALSE;
        ::WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), FALSE,
                                 dwWindowMs - dwSpent);
    }
}

void CArpProbe::Close() {
    m_pImpl->CloseAll();
}

int EchoWithoutRawSocket(DWORD dwAddress, DWORD dwTimeoutMs) {
    HANDLE hIcmp = ::IcmpCreateFile();
    if (hIcmp == INVALID_HANDLE_VALUE) {
        ::WSASetLastError(WsaFromWin32(::GetLastError()));
        return SOCKET_ERROR;
    }
    char request[32];
    for (char& c : request)
        c = 'E';
    BYTE reply[sizeof(ICMP_ECHO_REPLY) + sizeof request + 8 + 64];
    DWORD dwReplies = ::IcmpSendEcho(hIcmp, dwAddress, request, sizeof request, nullptr, reply,
                                     sizeof reply, dwTimeoutMs);
    // Only an echo reply counts: the service reports its own "host unreachable" for an
    // address that nobody resolves, which means free.
    BOOL bAnswered = FALSE;
    if (dwReplies > 0) {
        const auto* pReply = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply);
        bAnswered = pReply->Status == IP_SUCCESS;
    }
    ::IcmpCloseHandle(hIcmp);
    return bAnswered ? 1 : 0;
}
