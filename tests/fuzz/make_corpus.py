#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into tests/fuzz/corpus/<target>/.

The seeds are the shapes the LAN really carries (an appliance's reply, its 548-byte
requests, echo answers, typed addresses), the requests tavisol-sockets serves, and a few
near misses at the edges the checks
care about; the fuzzer mutates from there. Run it again after changing a seed here.
"""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MARKER = b"Kestova Vellumcrest2"
CHOSEN = bytes([0x00, 0x0A, 0x1B, 0xFF, 0x20, 0x3C])
OTHER = bytes([0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6])


def request(options=b"", chaddr=CHOSEN, size=548, marker_at=108, op=1, msg_type=1):
    """A BOOTP/DHCP request (RFC 951 fixed part, RFC 2131 cookie, RFC 2132 options)."""
    b = bytearray(236)
    b[0], b[1], b[2] = op, 1, 6
    b[4:8] = b"\x5a\x17\xc0\xde"
    b[10] = 0x80
    b[28:28 + len(chaddr)] = chaddr
    b += b"\x63\x82\x53\x63"
    if msg_type is not None:
        b += bytes([53, 1, msg_type])
    b += options + b"\xff"
    b = bytes(b).ljust(max(size, len(b)), b"\0")[:size]
    if marker_at is not None:
        b = b[:marker_at] + MARKER + b[marker_at + len(MARKER):]
        b = b[:size]
    return b


def host(name):
    return bytes([12, len(name)]) + name


def echo(ihl=5, icmp_type=0, ident=0x1234, seq=7, stamp=0x01020304, data=b"\x41" * 8):
    header = bytes([0x40 | ihl]) + b"\0" * (ihl * 4 - 1)
    return header + bytes([icmp_type, 0, 0, 0]) + struct.pack("<HHI", ident, seq, stamp) + data


SEEDS = {
    "fuzz_bootp": [
        request(host(b"Nimbus")),
        request(host(b"Nimbus"), msg_type=3),
        request(host(b"Nimbus"), msg_type=None),
        request(host(b"x" * 40)),
        request(bytes([12, 200]) + b"cut"),
        request(host(b"Nimbus"), marker_at=540),
        request(host(b"Nimbus"), size=240),
        request(host(b"Nimbus"), size=600),
    ],
    "fuzz_address": [
        b"192.168.0.10", b"010.001.000.001", b"0x7f.0.0.1", b"255.255.255.255", b"1.2.3",
        b"", b"0001.2.3.4", b"10.200.0.50 ", b"1..2.3", b"4294967295",
    ],
    "fuzz_icmp": [echo(), echo(ihl=6), echo(ihl=15), echo(icmp_type=8), echo()[:27], b""],
    "fuzz_reply_listener": [
        b"Nimbus".ljust(40, b"\0") + CHOSEN,
        b"n" * 100,
        b"f" * 40 + CHOSEN,
        b"",
        b"Kappa\0Lambda",
        b"Tower \t ",
        b"x" * 101,
    ],
    "fuzz_bootp_listing": [
        request(host(b"Nimbus")),
        request(host(b"Nimbus"), size=547),
        request(host(b"Nimbus"), size=549),
        request(host(b"Nimbus-with-a-long-name-0123")),
        request(host(b"One") + host(b"Two")),
        request(host(b"Marker") + bytes([43, len(MARKER)]) + MARKER, marker_at=None),
        request(host(b"Edge"), marker_at=529),
        request(host(b"Nobody"), chaddr=OTHER),
    ],
    "fuzz_responder": [
        b"\x00" + request(host(b"Nimbus")),
        b"\x01" + request(host(b"Nimbus")),
        b"\x01" + request(host(b"Nimbus"), msg_type=3),
        b"\x03" + request(host(b"Other"), msg_type=3),
        b"\x05" + request(host(b"Nimbus"), msg_type=None),
        b"\x07" + request(host(b"y" * 40), msg_type=3),
        b"\x01" + request(host(b"Nimbus"), chaddr=OTHER, msg_type=3),
        b"\x01" + request(host(b"Nimbus"), msg_type=3, size=300),
        b"\x01" + request(host(b"Nimbus"), msg_type=7),
    ],
    "fuzz_icmp_receive": [
        echo(), echo(ihl=6), echo(ihl=15), echo(icmp_type=3), echo()[:27], b"",
        echo(data=b"\x41" * 1980), echo(data=b"\x41" * 1981),
    ],
    # ARP: a reply from the holder of 10.199.0.77, and a probe for it padded to the
    # Ethernet minimum.
    "fuzz_arp": [
        bytes([0, 1, 8, 0, 6, 4, 0, 2, 0, 0xA, 0x1B, 0xFF, 0x20, 0x3C, 10, 199, 0, 77,
               2, 0, 0x5E, 0x10, 0, 1, 10, 199, 0, 1]),
        bytes([0, 1, 8, 0, 6, 4, 0, 1, 0, 0xA, 0x1B, 0xFF, 0x20, 0x3C, 0, 0, 0, 0,
               0, 0, 0, 0, 0, 0, 10, 199, 0, 77]) + bytes(18),
    ],
    # tavisol-sockets' requests, and the replies the program reads back.
    "fuzz_sockets_request": [
        b"TAVISOL-SOCKETS/1 bootps\n", b"TAVISOL-SOCKETS/1 icmp\n",
        b"TAVISOL-SOCKETS/1 arp eth0\n", b"TAVISOL-SOCKETS/1 arp abcdefghijklmno\n",
        b"TAVISOL-SOCKETS/1 arp abcdefghijklmnop\n", b"TAVISOL-SOCKETS/1 udp 68\n",
        b"TAVISOL-SOCKETS/1 bootps", b"TAVISOL-SOCKETS/1 icmp\nTAVISOL-SOCKETS/1 bootps\n",
        b"ok\n", b"refused not on the list\n", b"failed 98 cannot bind UDP port 67\n", b"",
    ],
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for seed in seeds:
            name = hashlib.sha1(seed).hexdigest()
            with open(os.path.join(folder, name), "wb") as f:
                f.write(seed)


if __name__ == "__main__":
    main()
