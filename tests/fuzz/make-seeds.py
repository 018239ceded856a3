#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into tests/fuzz/corpus/<target>/seed-*.

Seeds are inputs as the launcher meets them: the version file as the publishing tool writes it,
the shipped translation files, SMBIOS tables as firmware lays them out, the greeting and messages
a second launcher sends, and zip archives written by Info-ZIP zip, bsdtar and Python. Regression
inputs (regress-*) are kept by hand and left alone. Run from anywhere: tests/fuzz/make-seeds.py
"""
import hashlib
import io
import os
import re
import shutil
import struct
import subprocess
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CORPUS = os.path.join(HERE, "corpus")
# The key the peer-frame target expects (fuzz_peerframes.cpp).
KEY = b"Yq3Jk0Xv9m6QWmVYq7z0j2pZkQ0H5n1xYb8LrT4cU_e="


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def clear_seeds():
    for target in os.listdir(CORPUS) if os.path.isdir(CORPUS) else []:
        folder = os.path.join(CORPUS, target)
        for name in os.listdir(folder):
            if name.startswith("seed-"):
                os.remove(os.path.join(folder, name))


def version_files():
    md5 = lambda b: hashlib.md5(b).hexdigest()
    lines = [
        ("Kestrivane.exe", "0.11", md5(b"launcher"), 4431872),
        ("assets.zip", "1", md5(b"assets"), 1048576),
        ("data.zip", "1", md5(b"data"), 5242881),
        ("game.zip", "1", md5(b"game"), 9437184),
        ("readme.txt", "1", md5(b"readme"), 1234),
    ]
    text = "".join("%s:%s:%s:%d\n" % l for l in lines)
    write("versionfile", "sample-release", text.encode())
    write("versionfile", "crlf", text.replace("\n", "\r\n").encode())
    write("versionfile", "launcher-update", b"Kestrivane.exe:0.12:" + md5(b"x").encode() + b":2048\n")
    write("versionfile", "extra-fields", b"game.zip:2:" + md5(b"y").encode() + b":77:extra:more\n\n\n")
    write("versionfile", "three-fields", b"game.zip:1:" + md5(b"z").encode() + b":10\ndata.zip:1:abc\n")
    write("versionfile", "unsafe-names",
          b"../evil.exe:1:00:5\n..:1:00:5\nsub/x:1:00:5\nC:x:1:00:5\na\\b:1:00:5\nres.zip.:1:00:5\n")
    write("versionfile", "sizes", b"a:1:0:-5\nb:1:0:+7\nc:1:0:2147483648\nd:1:0:0x10\ne:1:0: 9\nf:1:0:\n")
    write("versionfile", "utf8", "données.zip:1:00:3\nゲーム.zip:2:00:4\n".encode())
    # A first byte 0xFF makes the target also try the file padded past the size limit.
    write("versionfile", "oversized", b"\xffKestrivane.exe:0.11:00:5\n")


def block_map(data, block=4096, strong=8):
    """rdiff's signature of data (RabinKarp rolling sum, BLAKE2b), as kv-publish writes it."""
    out = struct.pack(">III", 0x72730147, block, strong)
    for at in range(0, len(data), block):
        h = 1
        for c in data[at:at + block]:
            h = (h * 0x08104225 + c) & 0xFFFFFFFF
        out += struct.pack(">I", h) + hashlib.blake2b(data[at:at + block], digest_size=32).digest()[:strong]
    return out


def block_maps():
    data = bytes(((i * 7 + (i >> 9) * 13) & 0xFF) for i in range(20000))
    size = lambda n: struct.pack("<Q", n)
    write("blockmap", "golden", size(len(data)) + block_map(data))
    write("blockmap", "repeated-blocks", size(3 * 4096) + block_map(data[:4096] * 3))
    write("blockmap", "strong-32", size(len(data)) + block_map(data, strong=32))
    write("blockmap", "empty-file", size(0) + block_map(b""))
    write("blockmap", "other-size", size(len(data) + 1) + block_map(data))


def test_key(name):
    """A key of tests/support/testkeys.h, as the text of its file."""
    with open(os.path.join(ROOT, "tests", "support", "testkeys.h")) as f:
        text = f.read()
    m = re.search(r"constexpr const char \*" + name + r"\s*=((?:\s*\"[^\"]*\")+)\s*;", text)
    return "".join(re.findall(r'"([^"]*)"', m.group(1))).encode().decode("unicode_escape")


def signatures():
    """Signature files made by the minisign tool with the test keys, each followed by the file it signs.

    The first two bytes give the length of the signature file (fuzz_signature.cpp)."""
    if not shutil.which("minisign"):
        print("make-seeds: minisign is not installed, no signature seeds")
        return
    def seed(name, signature, data):
        write("signature", name, struct.pack("<H", len(signature)) + signature + data)
    data = b"".join(b"%s:%s:%s:%d\n" % (n, v, hashlib.md5(n).hexdigest().encode(), s) for n, v, s in
                    [(b"Kestrivane.exe", b"0.11", 4431872), (b"game.zip", b"1", 9437184)])
    with tempfile.TemporaryDirectory() as tmp:
        version = os.path.join(tmp, "version3.txt")
        with open(version, "wb") as f:
            f.write(data)
        def sign(key_name, legacy=False, comment="timestamp:1765123456\tfile:version3.txt"):
            key = os.path.join(tmp, key_name + ".key")
            with open(key, "w") as f:
                f.write(test_key(key_name + "SecretFile"))
            out = os.path.join(tmp, "out.minisig")
            subprocess.run(["minisign", "-S"] + (["-l"] if legacy else []) +
                           ["-s", key, "-m", version, "-t", comment, "-x", out],
                           check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            with open(out, "rb") as f:
                return f.read()
        release = sign("Release")
        seed("release", release, data)
        seed("release-legacy", sign("Release", legacy=True), data)
        seed("release-crlf", release.replace(b"\n", b"\r\n"), data)
        seed("release-no-time", sign("Release", comment="file:version3.txt"), data)
        seed("other-key", sign("Other"), data)
        seed("changed-file", release, data.replace(b"0.11", b"0.12"))
    public = ("untrusted comment: minisign public key\n" + test_key("ReleasePublic") + "\n").encode()
    seed("public-key", public, b"")


def catalogues():
    folder = os.path.join(ROOT, "assets", "translations")
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            write("catalogue", name.replace("Translation_", "").lower(), f.read())
    write("catalogue", "edge-lines", b"A=one\\ntwo\r\nNOEQUALS\r\n=empty key\nB=\nB=last wins\nC=x=y\n\n\0tail")


def smbios_structure(stype, formatted, strings, handle):
    body = bytes([stype, 4 + len(formatted)]) + struct.pack("<H", handle) + formatted
    if strings:
        return body + b"".join(s.encode() + b"\0" for s in strings) + b"\0"
    return body + b"\0\0"


def smbios_tables():
    uuid = bytes.fromhex("00112233445566778899aabbccddeeff")
    bios = smbios_structure(0, bytes.fromhex("01020300e80300080000000000000000000000000000"),
                            ["Quelvane BIOS", "1.16.2-debian", "04/01/2014"], 0)
    system = smbios_structure(1, bytes([1, 2, 3, 4]) + uuid + bytes([6, 0, 0]),
                              ["QEMU", "Standard PC (Q35 + ICH9, 2009)", "pc-q35-7.2"], 0x100)
    chassis = smbios_structure(3, bytes.fromhex("0101020300030303000000000000"), ["QEMU", "pc-q35-7.2"], 0x300)
    end = smbios_structure(127, b"", [], 0x7F00)
    for (major, minor) in [(2, 4), (2, 8), (3, 0)]:
        data = bios + system + chassis + end
        raw = bytes([0, major, minor, 0]) + struct.pack("<I", len(data)) + data
        # First byte even: the bytes as they are; odd: the target wraps the rest in a header.
        write("smbios", "raw-%d.%d" % (major, minor), b"\0" + raw)
        write("smbios", "wrapped-%d.%d" % (major, minor), bytes([1, major, minor]) + data)
    unset = smbios_structure(1, bytes([1, 2, 3, 4]) + b"\xff" * 16 + bytes([6, 0, 0]), [], 0x100)
    write("smbios", "wrapped-unset-uuid", bytes([1, 3, 0]) + bios + unset + end)
    write("smbios", "wrapped-unterminated", bytes([1, 2, 8]) + bios[:-1])


def qchecksum_iso3309(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def greeting(kind, instance_id, key=KEY):
    body = struct.pack(">I", len(key)) + key + struct.pack(">BI", kind, instance_id)
    return body + struct.pack(">H", qchecksum_iso3309(body))


def frame(body):
    return struct.pack(">q", len(body)) + body


def peer_streams():
    # First byte: how the target cuts the stream into pieces (0: all at once).
    write("peerframes", "second-start", b"\0" + frame(greeting(2, 1)))
    write("peerframes", "activated", b"\x07" + frame(greeting(3, 2)) + frame(b"activated"))
    write("peerframes", "new-instance-two-messages", b"\x01" + frame(greeting(1, 0)) + frame(b"a") + frame(b""))
    write("peerframes", "wrong-key", b"\0" + frame(greeting(3, 2, KEY[:-1] + b"X")) + frame(b"activated"))
    write("peerframes", "oversized", b"\0" + frame(greeting(3, 2)) + struct.pack(">q", 1024 * 1024 + 1))
    write("peerframes", "negative", b"\x03" + struct.pack(">q", -1))


def instance_blocks():
    def block(has_primary, secondaries, pid, user):
        name = user.encode()[:127] + b"\0"
        head = struct.pack("<B3xIq", has_primary, secondaries, pid) + name.ljust(128, b"\0")
        return head + struct.pack("<H6x", qchecksum_iso3309(head))
    # The block as a primary leaves it, then the name of the next launcher to claim it.
    write("instanceblock", "primary", block(1, 2, 31337, "player") + "player".encode())
    write("instanceblock", "released", block(0, 5, -1, "") + "Joueur é".encode())
    write("instanceblock", "long-name", block(1, 0, 7, "é" * 70) + ("é" * 62 + "ゲーム" * 3).encode())
    write("instanceblock", "stale-crc", block(1, 1, 99, "someone")[:-8] + b"\xde\xad" + bytes(6) + b"x")


def archive(entries, compression=zipfile.ZIP_DEFLATED, force_zip64=False):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = compression
            if mode is not None:
                info.external_attr = mode << 16
                info.create_system = 3
            with z.open(info, "w", force_zip64=force_zip64) as f:
                f.write(data)
    return buffer.getvalue()


def archives():
    game = [("Quelvane.exe", b"MZ" + bytes(range(64)), 0o100755), ("data/", b"", 0o40755),
            ("data/level1.dat", b"level " * 40, 0o100644), ("readme.txt", b"Quelvane\n", None)]
    write("archive", "python-deflated.zip", archive(game))
    write("archive", "python-stored.zip", archive(game, zipfile.ZIP_STORED))
    write("archive", "python-zip64.zip", archive(game[:3], force_zip64=True))
    write("archive", "unsafe-climb.zip", archive([("ok.txt", b"fine", None), ("../../escape.txt", b"x", None)]))
    write("archive", "empty.zip", archive([]))
    if shutil.which("zip"):
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "in", "bin"))
            with open(os.path.join(tmp, "in", "bin", "run.sh"), "w") as f:
                f.write("#!/bin/sh\necho quelvane\n")
            os.chmod(os.path.join(tmp, "in", "bin", "run.sh"), 0o755)
            with open(os.path.join(tmp, "in", "notes.txt"), "w") as f:
                f.write("notes " * 30)
            env = dict(os.environ, TZ="UTC")
            for name, flags in [("infozip.zip", ["-X"]), ("infozip-zip64.zip", ["-X", "-fz"])]:
                out = os.path.join(tmp, name)
                for root, dirs, files in os.walk(os.path.join(tmp, "in")):
                    for f in files + dirs:
                        os.utime(os.path.join(root, f), (1704164646, 1704164646))
                subprocess.run(["zip", "-q", "-r"] + flags + [out, "."], cwd=os.path.join(tmp, "in"),
                               check=True, env=env)
                with open(out, "rb") as f:
                    write("archive", name, f.read())
    bsdtar_archive()


def zip_index(data):
    # The launcher's entry index of an archive made by Python's zipfile (no data descriptors).
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        infos = [i for i in z.infolist() if not i.filename.endswith("/")]
        directory = data.find(b"PK\x01\x02")
        if directory < 0:
            directory = len(data) - 22
        out = b"KVZI" + struct.pack("<HHQQQI", 1, 0, len(data), directory, len(data) - 22 - directory, len(infos))
        for i in infos:
            name_length, extra_length = struct.unpack("<HH", data[i.header_offset + 26:i.header_offset + 30])
            span = 30 + name_length + extra_length + i.compress_size
            name = i.filename.encode()
            content = z.read(i.filename)
            out += struct.pack("<H", len(name)) + name
            out += struct.pack("<QQQQIH", i.header_offset, span, i.compress_size, i.file_size, i.CRC, i.compress_type)
            out += hashlib.blake2b(content, digest_size=32).digest()
        return out


def zip_indexes():
    size = lambda n: struct.pack("<Q", n)
    game = [("Quelvane.exe", b"MZ" + bytes(range(64)), None), ("data/", b"", None),
            ("data/level1.dat", b"level " * 40, None), ("readme.txt", b"Quelvane\n", None)]
    for name, compression in [("deflated", zipfile.ZIP_DEFLATED), ("stored", zipfile.ZIP_STORED)]:
        data = archive(game, compression)
        write("zipindex", name, size(len(data)) + zip_index(data))
    empty = archive([])
    write("zipindex", "empty", size(len(empty)) + zip_index(empty))
    data = archive(game)
    write("zipindex", "other-size", size(len(data) + 1) + zip_index(data))


def extracted_files():
    line = lambda data, mtime, name: (hashlib.blake2b(data, digest_size=32).hexdigest().encode() + b"\t" +
                                      str(len(data)).encode() + b"\t" + str(mtime).encode() + b"\t" + name + b"\n")
    head = b"KVEF 1\nversion 0.12\nindex " + b"5e" * 32 + b"\n"
    write("extractedfiles", "game", head + line(b"MZ" + bytes(range(64)), 1704164646000, b"Quelvane.exe") +
          line(b"level " * 40, 1704164646000, b"data/level1.dat") +
          line("Über".encode(), -5, "data/\u00fcber.txt".encode()))
    write("extractedfiles", "empty", b"KVEF 1\nversion 0.12\nindex -\n")
    write("extractedfiles", "outside", head + line(b"x", 1, b"../x"))


def bsdtar_archive():
    # bsdtar (also Windows' own tar.exe) lists the folder itself as "./" and every name below "./".
    if not shutil.which("bsdtar"):
        return
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "in")
        os.makedirs(os.path.join(src, "data"))
        with open(os.path.join(src, "Quelvane.exe"), "wb") as f:
            f.write(b"MZ" + bytes(range(64)))
        with open(os.path.join(src, "data", "level1.dat"), "wb") as f:
            f.write(b"level " * 40)
        for path in [src, os.path.join(src, "data"), os.path.join(src, "Quelvane.exe"),
                     os.path.join(src, "data", "level1.dat")]:
            os.utime(path, (1704164646, 1704164646))
        out = os.path.join(tmp, "bsdtar.zip")
        subprocess.run(["bsdtar", "--format", "zip", "--uid", "0", "--gid", "0", "-cf", out, "-C", src, "."],
                       check=True, env=dict(os.environ, TZ="UTC"))
        with open(out, "rb") as f:
            write("archive", "bsdtar-dot.zip", f.read())


def lan_requests():
    # Size byte (1: empty, 2: 37 x the next byte, 3: past 32 bits, else not offered), then the
    # method, the target and Range headers, one a line (fuzz_lanpeerrequest.cpp).
    def request(size, param, *lines):
        return bytes([size, param]) + b"\n".join(lines)
    write("lanpeerrequest", "whole", request(2, 30, b"GET", b"/v12_Data/foo.pak"))
    write("lanpeerrequest", "range", request(2, 30, b"GET", b"/v12_Data/foo.pak", b"bytes=10-99"))
    write("lanpeerrequest", "suffix", request(3, 1, b"HEAD", b"/v12_Data/foo.pak", b"bytes=-500"))
    write("lanpeerrequest", "open", request(2, 200, b"GET", b"/v12_a", b"bytes=7000-"))
    write("lanpeerrequest", "several", request(2, 30, b"GET", b"/v12_a", b"bytes=0-1,4-5"))
    write("lanpeerrequest", "empty", request(1, 0, b"GET", b"/v12_a", b"bytes=0-"))
    write("lanpeerrequest", "dots", request(2, 30, b"GET", b"/v12_Data/../x", b"bytes=0-0"))
    write("lanpeerrequest", "post", request(0, 0, b"POST", b"/v12_a"))


if __name__ == "__main__":
    clear_seeds()
    version_files()
    block_maps()
    zip_indexes()
    extracted_files()
    signatures()
    catalogues()
    smbios_tables()
    peer_streams()
    instance_blocks()
    archives()
    lan_requests()
