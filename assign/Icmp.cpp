// The ICMP echo probe (RFC 792). Nothing in an answer is compared with the request: any
// datagram the raw socket delivers within the time-out means something is at the address.
#include "assign/Icmp.h"

#include "proto/address.h"
#include "proto/icmp.h"

#include <cstring>

CIcmp::CIcmp()
    : m_pIcmpHeader(nullptr), m_pIpHeader(nullptr),
      m_hRawSocket(INVALID_SOCKET), m_addrDest{}, m_addrFrom{}, m_dwRoundTrip(0), m_dwSendTick(0),
      m_dwRecvTick(0), m_nRecvLength(0), m_nSequence(0), m_nIdentifier(0), m_nLastError(0),
      m_nErrorKind(0) {}

CIcmp::~CIcmp() {
    if (m_hRawSocket != INVALID_SOCKET)
        closesocket(m_hRawSocket);
}

BOOL CIcmp::Open(int nRecvTimeout, int nSendTimeout) {
    m_hRawSocket = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (m_hRawSocket == INVALID_SOCKET) {
        m_nLastError = WSAGetLastError();
        m_nErrorKind = 1;
        return FALSE;
    }
    if (setsockopt(m_hRawSocket, SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&nRecvTimeout),
                   sizeof nRecvTimeout) == SOCKET_ERROR) {
        m_nLastError = WSAGetLastError();
        m_nErrorKind = 2;
        closesocket(m_hRawSocket);
        m_hRawSocket = INVALID_SOCKET;
        return FALSE;
    }
    if (setsockopt(m_hRawSocket, SOL_SOCKET, SO_SNDTIMEO,
                   reinterpret_cast<const char*>(&nSendTimeout),
                   sizeof nSendTimeout) == SOCKET_ERROR) {
        m_nLastError = WSAGetLastError();
        m_nErrorKind = 3;
        closesocket(m_hRawSocket);
        m_hRawSocket = INVALID_SOCKET;
        return FALSE;
    }
    m_nSequence = 0;
    m_nIdentifier = static_cast<int>(GetCurrentProcessId() & 0xFFFF);
    return TRUE;
}

unsigned long CIcmp::SetTarget(const char* pszAddress) {
    std::memset(&m_addrDest, 0, sizeof m_addrDest);
    m_addrDest.sin_family = AF_INET;
    m_addrDest.sin_addr.s_addr = ClassicInetAddr(pszAddress);
    m_addrDest.sin_port = 0;
    return m_addrDest.sin_addr.s_addr;
}

int CIcmp::SendEcho(BYTE* pBuffer, int nDataSize) {
    m_pIcmpHeader = pBuffer;
    std::size_t nLength = static_cast<std::size_t>(nDataSize) + ICMP_ECHO_HEADER_SIZE;
    BuildEchoRequest(std::span<std::uint8_t>(pBuffer, nLength), static_cast<std::size_t>(nDataSize),
                     static_cast<std::uint16_t>(m_nIdentifier),
                     static_cast<std::uint16_t>(m_nSequence), GetTickCount());
    m_dwSendTick = GetTickCount();
    int nSent =
        sendto(m_hRawSocket, reinterpret_cast<const char*>(pBuffer), static_cast<int>(nLength), 0,
               reinterpret_cast<sockaddr*>(&m_addrDest), sizeof m_addrDest);
    if (nSent == SOCKET_ERROR) {
        m_nLastError = WSAGetLastError();
        m_nErrorKind = 1;
    }
    return nSent;
}

int CIcmp::Receive(BYTE* pBuffer, int nSize) {
    m_dwRecvTick = GetTickCount();
    std::memset(&m_addrFrom, 0, sizeof m_addrFrom);
    m_addrFrom.sin_family = AF_INET;
    m_nIdentifier = 0;
    int nFromLen = sizeof m_addrFrom;
    int n = recvfrom(m_hRawSocket, reinterpret_cast<char*>(pBuffer), nSize, 0,
                     reinterpret_cast<sockaddr*>(&m_addrFrom), &nFromLen);
    if (n == SOCKET_ERROR)
        return SOCKET_ERROR;

    m_nRecvLength = n;
    m_pIpHeader = pBuffer;
    EchoAnswer answer =
        ReadEchoAnswer(std::span<const std::uint8_t>(pBuffer, static_cast<std::size_t>(n)));
    if (answer.tooShort) {
        MessageBoxA(nullptr, "Short message!", "CIcmp::Receive", MB_SYSTEMMODAL);
        m_nErrorKind = 2;
        return n;
    }
    m_pIcmpHeader = pBuffer + answer.ipHeaderLength;
    m_nIdentifier = answer.identifier;
    m_dwRoundTrip = m_dwRecvTick - answer.timeStamp;
    if (answer.type == ICMP_ECHO_REPLY)
        m_nSequence = answer.sequence;
    return n;
}

int CIcmp::Close() {
    if (m_hRawSocket == INVALID_SOCKET)
        return 0;
    int nResult = closesocket(m_hRawSocket);
    if (nResult == SOCKET_ERROR) {
        m_nLastError = WSAGetLastError();
        m_nErrorKind = 1;
    }
    m_hRawSocket = INVALID_SOCKET;
    return nResult;
}

WORD CIcmp::Checksum(const BYTE* pBytes, int nLength) {
    return ::Checksum(std::span<const std::uint8_t>(pBytes, static_cast<std::size_t>(nLength)));
}
