// One ICMP echo request over a raw socket and one datagram received in answer, for the
// assign dialog's in-use check. The packet memory belongs to the caller.
#pragma once

#include "platform/afx.h"

class CIcmp : public CSocket {
public:
    CIcmp();
    ~CIcmp() override;

    BOOL Open(int nRecvTimeout, int nSendTimeout);
    unsigned long SetTarget(const char* pszAddress);
    int SendEcho(BYTE* pBuffer, int nDataSize);
    // The byte count of the datagram received, or SOCKET_ERROR. A datagram too short for an
    // IP header and 8 bytes shows "Short message!" and still counts.
    int Receive(BYTE* pBuffer, int nSize);
    int Close();
    static WORD Checksum(const BYTE* pBytes, int nLength);

    BYTE* m_pIcmpHeader;
    BYTE* m_pIpHeader;
    SOCKET m_hRawSocket;
    sockaddr_in m_addrDest;
    sockaddr_in m_addrFrom;
    DWORD m_dwRoundTrip;
    DWORD m_dwSendTick;
    DWORD m_dwRecvTick;
    int m_nRecvLength;
    int m_nSequence;
    int m_nIdentifier;
    int m_nLastError;
    int m_nErrorKind;
};
