"""Netascii as each program translates it: what it sends for a local text
file and what it stores for text received. The expected files of every
text transfer are computed with these."""
import re


def sent_by_orvanel(local):
    """What harrier and pelican send for a local file: the data ends at the
    first 0x1A, and CR LF becomes LF (CR CR LF thus becomes CR LF)."""
    return local.split(b"\x1a")[0].replace(b"\r\n", b"\n")


def stored_by_orvanel(wire):
    """What harrier and pelican store for text received: every LF as CR LF,
    all other bytes (CR included) unchanged."""
    return wire.replace(b"\n", b"\r\n")


def sent_by_peers(local):
    """What tftp-hpa and atftp (client and server) send for a local file:
    LF as CR LF and CR as CR NUL."""
    return local.replace(b"\r", b"\r\0").replace(b"\n", b"\r\n")


_RECEIVED_PAIR = re.compile(rb"\r[\n\0]")


def stored_by_peers(wire):
    """What the tftp-hpa and atftp clients store for text received: CR LF as
    LF and CR NUL as CR; every other byte is kept. The pairs are taken from
    left to right, so CR CR LF is stored as CR LF."""
    return _RECEIVED_PAIR.sub(lambda m: b"\n" if m.group(0) == b"\r\n" else b"\r", wire)

# curl does no netascii translation in either direction: it sends the local
# bytes as they are and stores the received bytes as they are.
