#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Usage: fuzz/seeds.py [signing-key.pem]
The configuration seeds are signed with the given key (default: the
development key) through the openssl command, so that the fuzzer starts
from files that pass the signature check as well as from files that do not.
"""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")


def crc16(data):
    """CRC-16/KERMIT, as the frames carry it (low byte first)."""
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- containers

def container(length, body_size, fill=0x5A):
    return struct.pack(">I", length) + bytes([fill]) * body_size


CONTAINERS = {
    "record": container(13, 16),
    "full-record": container(128, 128),
    "empty-plain": container(0, 16),
    "three-blocks": container(300, 304),
    "large-record": container(129, 144),
    "beyond-body": container(40, 32),
    "partial-block": container(5, 10),
    "header-only": container(5, 0),
    "too-short": b"\x00\x00\x01",
    "huge-length": container(0xFFFFFFFF, 32),
}

# ---------------------------------------------------------------- answers

def frame(*leading):
    body = bytes(leading) + bytes(30 - len(leading))
    return body + crc16(body)


def sealed(data):
    """A read() answer that the link seals with its CRC."""
    return bytes([0x80 | (0x7F if len(data) >= 127 else len(data))]) + data


def full(data):
    """A readFull() answer of 32 bytes, sealed."""
    return bytes([0x81]) + data


def unsealed(data):
    return bytes([0x7F if len(data) >= 127 else len(data)]) + data


def list_answer(name):
    body = bytes([0x01, len(name)]) + name + bytes(28 - len(name))
    return body + crc16(body)


HARDWARE = bytes(range(126))
STEPS = [
    unsealed(b"/\xc0\x02OK"),                                    # opening
    unsealed(b"/@\x02OK\x00\x00"),                               # Varlenne start
    sealed(HARDWARE + crc16(HARDWARE)),                          # hardware record
    sealed(list_answer(b"BOOT")) + sealed(list_answer(b"PAY")) + sealed(frame(0x01, 0x00)),
    full(frame(0x02, 0x01, 0x55)),                               # advertisement
    full(frame(0x03, 0x01, 0x01)),                               # authorization
    full(frame(0x04, 0x01, 0x55)) + full(frame(0x04, 0x01, 0x33)) + full(frame(0x04, 0x01, 0x55)) * 3
    + sealed(frame(0x04, 0x01, 0x55)),                           # download with one resend, final
    sealed(frame(0x05, 0x01, 0x55)),                             # activation
    sealed(frame(0x06, 0x01, 0x55)),                             # release
    unsealed(b"/\xc0\x01K") + unsealed(b"/@\x01K"),              # release frames
]


# The position in the protocol's table of steps (protocol/Steps.h) of each
# entry of STEPS: the first byte of an input picks the step a session starts
# with; the blocks, the final confirmation and the second release frame are
# read within the steps before them.
STEP_INDEX = [0, 1, 2, 3, 4, 5, 6, 9, 10, 11]


def answer_seeds():
    for first in range(len(STEPS)):
        write("answers", "session-from-%d" % STEP_INDEX[first], bytes([STEP_INDEX[first]]) + b"".join(STEPS[first:]))
    write("answers", "varlenne-refused", bytes([1]) + unsealed(b"/@\x02\x01\x81\x00\x00"))
    write("answers", "list-overlong-name", bytes([3]) + unsealed(bytes([1, 200]) + b"N" * 28 + b"\x00\x00"))
    write("answers", "endless-resend", bytes([6]) + full(frame(0x04, 0x01, 0x55))
          + full(frame(0x04, 0x01, 0x33)) * 40)
    write("answers", "final-bad-crc", bytes([6]) + full(frame(0x04, 0x01, 0x55)) * 4
          + unsealed(bytes([4, 1, 0x55]) + bytes(29)))


# ---------------------------------------------------------------- configuration

def sign(signed_part, key):
    """Base64 of the raw RSA block type 1 signature of the SHA-256 digest."""
    digest = hashlib.sha256(signed_part).digest()
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(digest)
        path = f.name
    try:
        out = subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key, "-in", path],
                             check=True, capture_output=True).stdout
    finally:
        os.unlink(path)
    return subprocess.run(["openssl", "base64", "-A"], input=out, check=True,
                          capture_output=True).stdout


BODY = b"""<?xml version="1.0" encoding="UTF-8"?>
<configuration>
  <terminal>
    <name>Model 3</name>
    <code>M3</code>
    <image>terminal.png</image>
    <delayReboot>40000</delayReboot>
  </terminal>
  <operation>
    <title>Mise \xc3\xa0 jour</title>
    <description>Paiement sans contact</description>
  </operation>
  <hterm>record.hterm</hterm>
  <hterm>full.hterm</hterm>
  <hterm>missing.hterm</hterm>
  <batch id="1">
    <file>BOOT.BIN</file>
    <file>PAY.BIN</file>
  </batch>
  <batch id="2"><file>EXTRA.BIN</file></batch>
  """


def configuration_seeds(key):
    write("configuration", "signed", BODY + b"<signature>" + sign(BODY, key) + b"</signature>\n</configuration>\n")
    write("configuration", "unsigned", BODY + b"<signature>" + b"A" * 342 + b"==</signature>\n</configuration>\n")
    hterms = b"".join(b"<hterm>%s.hterm</hterm>" % n for n in
                      [b"empty", b"large", b"beyond", b"partial", b"header", b"tiny"])
    write("configuration", "hterm-shapes", b"<configuration>" + hterms + b"</configuration>")
    write("configuration", "broken", BODY[:300] + b"<batch id='x'><file>A</fil></batch>")
    write("configuration", "empty-root", b"<configuration><signature></signature></configuration>")
    write("configuration", "nested", b"<a>" * 40 + b"<hterm>record.hterm</hterm>" + b"</a>" * 40)
    write("configuration", "entities",
          b'<?xml version="1.0"?><!DOCTYPE c [<!ENTITY a "xx"><!ENTITY b "&a;&a;">]>'
          b"<configuration><operation><title>&b;</title></operation></configuration>")
    write("configuration", "utf16", ("<?xml version=\"1.0\" encoding=\"UTF-16\"?><configuration>"
                                     "<terminal><name>\u00e9</name></terminal></configuration>").encode("utf-16"))
    write("configuration", "outside-names",
          b"<configuration><terminal><image>../../etc/passwd</image></terminal>"
          b"<hterm>../record.hterm</hterm><batch><file>a/../../b</file></batch></configuration>")


# ---------------------------------------------------------------- transcripts

TRANSCRIPTS = os.path.join(ROOT, "tests", "cli", "transcripts")


def transcript_lines(name):
    with open(os.path.join(TRANSCRIPTS, name), "rb") as f:
        return f.read().splitlines(keepends=True)


def transcript_seeds():
    """Recorded sessions, whole or in part, and the lines they do not show."""
    refused = transcript_lines("refused-authorization.jsonl")
    write("transcript", "refused-authorization", b"".join(refused))
    batches = transcript_lines("two-batches.jsonl")
    write("transcript", "two-batches-start", b"".join(batches[:40]))
    write("transcript", "two-batches-end", b"".join(batches[-20:]))
    resend = transcript_lines("resend-and-restart.jsonl")
    write("transcript", "resend-and-restart-end", b"".join(resend[-30:]))
    write("transcript", "by-length-and-silence", b"".join([
        b'{"t":0.001,"dir":"event","event":"open","port":"/dev/ttyUSB0","ok":true}\r\n',
        b'{"t":0.002,"dir":"pc","kind":"unknown","length":40,"crc":"12 34","sent":false}\r\n',
        b'\r\n',
        b'{"t":0.003,"dir":"terminal","kind":"answer","to":"block","length":32,"crc":"9C 11"}\n',
        b'{"t":1.004,"dir":"event","event":"no-answer","to":"activate","timeout_ms":1000}\n',
        b'{"t":2.005,"dir":"event","event":"no-answer","to":"block"}\n',
        b' {"t":2.5 , "dir" : "event","event":"close","ok":false} \n',
        b'{"t":3,"dir":"event","event":"result","ok":false,"title":"\\u00c9chec\\t\\"x\\"",'
        b'"text":"a\\nb\\u0001\\/","text":"dernier"}\n',
    ]))
    write("transcript", "refused-nested", refused[0] + b'{"t":1,"dir":"pc","kind":{"a":[1,2]}}\n')


def main():
    key = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "keys", "dev-signing-key.pem")
    for name, data in CONTAINERS.items():
        write("container", name, data)
        write("package", name, data)
    answer_seeds()
    configuration_seeds(key)
    transcript_seeds()


if __name__ == "__main__":
    main()
