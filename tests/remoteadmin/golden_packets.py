#!/usr/bin/env python3
"""Golden bytes of remote-administration packets, derived apart from the C++
code: RIPEMD-256 and 3-Way written from their published descriptions, the
length-keeping chained mode, and the packet layout by hand. The C++ test
pins what this prints. Run: python3 tests/remoteadmin/golden_packets.py"""
import struct

M = 0xFFFFFFFF


def rol(x, n):
    return ((x << n) | (x >> (32 - n))) & M


# ---- RIPEMD-256 ----
R = [list(range(16)),
     [7, 4, 13, 1, 10, 6, 15, 3, 12, 0, 9, 5, 2, 14, 11, 8],
     [3, 10, 14, 4, 9, 15, 8, 1, 2, 7, 0, 6, 13, 11, 5, 12],
     [1, 9, 11, 10, 0, 8, 12, 4, 13, 3, 7, 15, 14, 5, 6, 2]]
RP = [[5, 14, 7, 0, 9, 2, 11, 4, 13, 6, 15, 8, 1, 10, 3, 12],
      [6, 11, 3, 7, 0, 13, 5, 10, 14, 15, 8, 12, 4, 9, 1, 2],
      [15, 5, 1, 3, 7, 14, 6, 9, 11, 8, 12, 2, 10, 0, 4, 13],
      [8, 6, 4, 1, 3, 11, 15, 0, 5, 12, 2, 13, 9, 7, 10, 14]]
S = [[11, 14, 15, 12, 5, 8, 7, 9, 11, 13, 14, 15, 6, 7, 9, 8],
     [7, 6, 8, 13, 11, 9, 7, 15, 7, 12, 15, 9, 11, 7, 13, 12],
     [11, 13, 6, 7, 14, 9, 13, 15, 14, 8, 13, 6, 5, 12, 7, 5],
     [11, 12, 14, 15, 14, 15, 9, 8, 9, 14, 5, 6, 8, 6, 5, 12]]
SP = [[8, 9, 9, 11, 13, 15, 15, 5, 7, 7, 8, 11, 14, 14, 12, 6],
      [9, 13, 15, 7, 12, 8, 9, 11, 7, 7, 12, 7, 6, 15, 13, 11],
      [9, 7, 15, 11, 8, 6, 6, 14, 12, 13, 5, 14, 13, 13, 7, 5],
      [15, 5, 8, 11, 14, 14, 6, 14, 6, 9, 12, 9, 12, 5, 15, 8]]
F = [lambda x, y, z: x ^ y ^ z,
     lambda x, y, z: (x & y) | (~x & z),
     lambda x, y, z: (x | (~y & M)) ^ z,
     lambda x, y, z: (x & z) | (y & ~z)]
K = [0, 0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC]
KP = [0x50A28BE6, 0x5C4DD124, 0x6D703EF3, 0]


def ripemd256(msg):
    h = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
         0x76543210, 0xFEDCBA98, 0x89ABCDEF, 0x01234567]
    ml = len(msg)
    msg = msg + b"\x80" + b"\0" * ((55 - ml) % 64) + struct.pack("<Q", ml * 8)
    for off in range(0, len(msg), 64):
        X = struct.unpack("<16I", msg[off:off + 64])
        a, b, c, d = h[0:4]
        ap, bp, cp, dp = h[4:8]
        for j in range(4):
            for i in range(16):
                t = rol((a + (F[j](b, c, d) & M) + X[R[j][i]] + K[j]) & M, S[j][i])
                a, d, c, b = d, c, b, t
                t = rol((ap + (F[3 - j](bp, cp, dp) & M) + X[RP[j][i]] + KP[j]) & M, SP[j][i])
                ap, dp, cp, bp = dp, cp, bp, t
            if j == 0:
                a, ap = ap, a
            elif j == 1:
                b, bp = bp, b
            elif j == 2:
                c, cp = cp, c
            else:
                d, dp = dp, d
        for i, v in enumerate((a, b, c, d, ap, bp, cp, dp)):
            h[i] = (h[i] + v) & M
    return struct.pack("<8I", *h)


assert ripemd256(b"").hex() == "02ba4c4e5f8ecd1877fc52d64d30e37a2d9774fb1e5d026380ae0168e3c5522d"
assert ripemd256(b"abc").hex() == "afbd6e228b9d8cbbcef5ca2d03e6dba10ac0bc7dcbe4680e1e42d2e975459b65"


# ---- 3-Way (encryption is all the mode needs) ----
def theta(a):
    a0, a1, a2 = a
    return [
        (a0 ^ (a0 >> 16) ^ (a1 << 16) ^ (a1 >> 16) ^ (a2 << 16) ^ (a1 >> 24) ^ (a2 << 8) ^
         (a2 >> 8) ^ (a0 << 24) ^ (a2 >> 16) ^ (a0 << 16) ^ (a2 >> 24) ^ (a0 << 8)) & M,
        (a1 ^ (a1 >> 16) ^ (a2 << 16) ^ (a2 >> 16) ^ (a0 << 16) ^ (a2 >> 24) ^ (a0 << 8) ^
         (a0 >> 8) ^ (a1 << 24) ^ (a0 >> 16) ^ (a1 << 16) ^ (a0 >> 24) ^ (a1 << 8)) & M,
        (a2 ^ (a2 >> 16) ^ (a0 << 16) ^ (a0 >> 16) ^ (a1 << 16) ^ (a0 >> 24) ^ (a1 << 8) ^
         (a1 >> 8) ^ (a2 << 24) ^ (a1 >> 16) ^ (a2 << 16) ^ (a1 >> 24) ^ (a2 << 8)) & M]


def rho(a):
    a = theta(a)
    a[0] = rol(a[0], 22)
    a[2] = rol(a[2], 1)
    a = [a[0] ^ (a[1] | (~a[2] & M)), a[1] ^ (a[2] | (~a[0] & M)), a[2] ^ (a[0] | (~a[1] & M))]
    a[0] = rol(a[0], 1)
    a[2] = rol(a[2], 22)
    return a


def round_constants(start=0x0B0B):
    out = []
    for _ in range(12):
        out.append(start)
        start <<= 1
        if start & 0x10000:
            start ^= 0x11011
    return out


RC = round_constants()


def encrypt_block(block, key):
    a = list(struct.unpack("<3I", block))
    k = list(struct.unpack("<3I", key))
    for i in range(11):
        a = [a[0] ^ k[0] ^ ((RC[i] << 16) & M), a[1] ^ k[1], a[2] ^ k[2] ^ RC[i]]
        a = rho(a)
    a = [a[0] ^ k[0] ^ ((RC[11] << 16) & M), a[1] ^ k[1], a[2] ^ k[2] ^ RC[11]]
    return struct.pack("<3I", *theta(a))


def xor(x, y):
    return bytes(p ^ q for p, q in zip(x, y))


def encipher(phrase, data):
    key = ripemd256(phrase)[:12]
    v = encrypt_block(b"\xff" * 12, key)
    f = v
    out = b""
    for c in range(0, len(data), 4096):
        chunk = data[c:c + 4096]
        i = 0
        while len(chunk) - i >= 12:
            ct = encrypt_block(xor(chunk[i:i + 12], f), key)
            f = xor(ct, f)
            out += ct
            i += 12
        if i < len(chunk):
            b = encrypt_block(f, key)
            out += xor(chunk[i:], b)
            f = xor(b, f)
    return out


PHRASE = (b"Fernwartung \xfcber den Br\xfcckenkopf: Post \xd8lund meldet 7 Sp\xe4her, 3 F\xe4sser \xd6l. \xbf"
          b"Gr\xfcn? \xabNein\xbb")
assert len(PHRASE) == 88
import base64
assert base64.b64encode(encipher(PHRASE, b"Hello")).decode() == "0FTEf4c="


def field(text, size):
    return bytes([len(text)]) + text + b"\0" * (size - 1 - len(text))


def packet(body, compressed):
    block = encipher(PHRASE, field(b"ZAQ_KV_TESTString", 21) + body)
    return field(b"ZAQ_KV_Packet", 21) + field(b"2.4", 11) + struct.pack("<II", 1 if compressed else 0, len(block)) + block


def le(v):
    return struct.pack("<i", v)


# A request: command 7, Result -1, parameters {x: 5}, data "ABC".
varlist = le(3) + b"x\r\n" + le(25) + b"Varlist Save Version: 1.3" + b"\x02\x05"
request_body = le(7) + le(-1) + le(len(varlist)) + varlist + le(3) + b"ABC"
# A reply: command 0, Result 0, no parameters, data 01 02.
reply_body = le(0) + le(0) + le(0) + le(2) + b"\x01\x02"


def cxx(name, data):
    print("// %s (%d bytes)" % (name, len(data)))
    print("const char k%s[] = \"%s\";" % (name, "".join("\\x%02x" % b for b in data)))


cxx("RequestPlain", packet(request_body, False))
cxx("ReplyPlain", packet(reply_body, False))
# Compressed bodies: the LZHUF stream is given (the codec is pinned on its
# own); header, marker and enciphering are computed here.
import sys
for arg in sys.argv[1:]:
    name, hexbody = arg.split("=")
    cxx(name, packet(bytes.fromhex(hexbody), True))
