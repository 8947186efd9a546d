"""TFTP packets as the tests build and read them: the one place that knows
the wire layout, for the server tests, the client tests and the desktop
tests alike."""
import struct

RRQ, WRQ, DATA, ACK, ERROR, OACK = 1, 2, 3, 4, 5, 6

# Error codes on the wire (the numbers of TFTP_ERROR_* in core/packets.h).
ERR_UNDEFINED = 0
ERR_NOT_FOUND = 1
ERR_DISK_FULL = 3
ERR_ILLEGAL = 4
ERR_UNKNOWN_TRANSFER = 5
ERR_EXISTS = 6
ERR_OPTION = 8


def request(opcode, name, mode="octet", options=None):
    """An RRQ or WRQ; options is a dict of name: value."""
    body = struct.pack("!H", opcode) + name.encode("latin-1") + b"\0" + mode.encode() + b"\0"
    for key, value in (options or {}).items():
        body += key.encode() + b"\0" + str(value).encode() + b"\0"
    return body


def raw_request(opcode, *strings, terminate=True):
    """opcode followed by zero-terminated strings (bytes or str); the last
    string is left unterminated when terminate is False."""
    body = struct.pack("!H", opcode)
    for i, s in enumerate(strings):
        if isinstance(s, str):
            s = s.encode("latin-1")
        body += s
        if terminate or i < len(strings) - 1:
            body += b"\0"
    return body


def data(block, payload):
    return struct.pack("!HH", DATA, block & 0xFFFF) + payload


def ack(block):
    return struct.pack("!HH", ACK, block & 0xFFFF)


def error_bytes(code, text):
    """An ERROR packet, exactly as the server and the client send it."""
    return struct.pack("!HH", ERROR, code) + text.encode("latin-1") + b"\0"


def oack_bytes(*pairs):
    """An OACK of (name, value) pairs in their order."""
    body = struct.pack("!H", OACK)
    for name, value in pairs:
        body += name.encode() + b"\0" + str(value).encode() + b"\0"
    return body


def opcode_of(packet):
    return struct.unpack("!H", packet[:2])[0]


def block_of(packet):
    return struct.unpack("!H", packet[2:4])[0]


def parse(packet):
    """(opcode, fields): DATA (block, payload), ACK (block,), ERROR (code, text),
    OACK ({name: value})."""
    opcode = opcode_of(packet)
    if opcode == DATA:
        return opcode, (block_of(packet), packet[4:])
    if opcode == ACK:
        return opcode, (block_of(packet),)
    if opcode == ERROR:
        return opcode, (block_of(packet), packet[4:].split(b"\0")[0].decode("latin-1"))
    if opcode == OACK:
        parts = packet[2:].split(b"\0")
        opts = {}
        for i in range(0, len(parts) - 1, 2):
            opts[parts[i].decode()] = parts[i + 1].decode()
        return opcode, (opts,)
    return opcode, (packet[2:],)


def parse_request(packet):
    """(opcode, name, mode, [(option, value), ...]) of an RRQ or WRQ."""
    fields = packet[2:].split(b"\0")
    assert fields[-1] == b"", "request not zero-terminated"
    fields = [f.decode() for f in fields[:-1]]
    options = list(zip(fields[2::2], fields[3::2]))
    return opcode_of(packet), fields[0], fields[1], options
