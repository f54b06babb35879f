#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again after changing an input format (the formats are
described at the top of each fuzz_*.cpp) and commit what changed.
"""
import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent


def word(value):
    return struct.pack(">H", value)


def encoded(text):
    return text if isinstance(text, bytes) else text.encode("cp1250")


def identification(surname, first_names, card_number=b"CZ12345678901234", pad=b"\x20"):
    """EF Identification of a Czech driver card, 143 bytes."""
    file = bytearray(143)
    file[0] = 0x1A
    file[1:17] = card_number.ljust(16, b"\x00")[:16]
    file[17] = 0x02
    file[18:53] = "Ministerstvo dopravy ČR".encode("cp1250").ljust(35, pad)
    file[53:65] = bytes.fromhex("5F5E1000" "5F5E1000" "6568AB00")
    file[65] = 0x02
    file[66:101] = encoded(surname).ljust(35, pad)
    file[101] = 0x02
    file[102:137] = encoded(first_names).ljust(35, pad)
    file[137:141] = bytes.fromhex("19800415")
    file[141:143] = b"cs"
    return bytes(file)


# Answers of the scripted card (fuzz_card_exchange.cpp): a control byte and its arguments.
OK = bytes([0x20, 0x00])  # status word only: 9000
WRONG_LENGTH = bytes([0x20, 0x03])  # 6700
NOT_FOUND = bytes([0x20, 0x04])  # 6A82
ASKED = bytes([0x40])  # the data asked for and 9000
PULLED = bytes([0x00])  # SCardTransmit fails: SCARD_E_NOT_TRANSACTED


def exact_length(left):
    return bytes([0x20, 0xC0, left])  # 6Cxx


def raw(answer):
    return bytes([0xE0]) + word(len(answer)) + answer


def card_exchange():
    driver = identification("DVOŘÁK", "ŽANETA MARIE")
    return {
        # EF ICC, 25 bytes: 6C19, then the read with the right length.
        "short-file-exact-length": bytes([0x00, 0x01]) + OK + exact_length(0x19) + ASKED,
        # A 300-byte file on a card that answers 6700 past the end: the halving search.
        "card-answering-6700": bytes([0x00, 0x06]) + OK + ASKED + WRONG_LENGTH
        + WRONG_LENGTH + WRONG_LENGTH + ASKED + WRONG_LENGTH + ASKED + ASKED + WRONG_LENGTH + WRONG_LENGTH,
        # A file of exactly 512 bytes: the read at its end gets 6B00.
        "whole-pieces-then-6B00": bytes([0x00, 0x03]) + OK + ASKED + ASKED + bytes([0x20, 0x02]),
        # Identification of a driver: select the application and the file, hash, read, sign.
        "identify-driver": bytes([0x02]) + OK + OK + OK + raw(driver + b"\x90\x00") + ASKED,
        # The signed identification step, then EF Card Download, then a card pulled while signing.
        "signed-steps-card-pulled": bytes([0x01, 0x00]) + OK + OK + exact_length(0x8F) + ASKED + ASKED
        + bytes([0x01, 0x05]) + OK + OK + exact_length(0x04) + ASKED + PULLED,
        # A file that the card does not have, then a raw exchange answered without a status word.
        "missing-file-and-odd-answer": bytes([0x00, 0x02]) + NOT_FOUND
        + bytes([0x03]) + word(5) + bytes([0x00, 0xB0, 0x00, 0x00, 0x00]) + raw(b"\x90"),
        # Identification on a card that cannot be connected.
        "no-connection": bytes([0x82]),
        # Second generation: EF Application_Identification signed by a card that names the length
        # of its signature with 6C40.
        "second-generation-signature-6Cxx": bytes([0x41, 0x04]) + OK + OK + exact_length(0x11) + ASKED
        + exact_length(0x40) + ASKED,
        # Second generation: the CardSignCertificate (a brainpoolP256r1 certificate) sets the
        # signature's length, then a signed file.
        "second-generation-certificate-then-signed": bytes([0x40, 0x08]) + OK
        + raw((HERE.parent / "tools/testpki/TEST_ROOT_1.cvc").read_bytes() + b"\x90\x00")
        + bytes([0x41, 0x04]) + OK + OK + exact_length(0x11) + ASKED + ASKED,
    }


def http_response():
    ok = b"HTTP/1.1 200 OK\r\nServer: korvan-fleetd\r\nContent-Type: text/plain\r\nConnection: close\r\n"
    whole = bytes([0x00, 0x00, 0x00])
    return {
        "content-length": whole + ok + b"Content-Length: 7\r\n\r\nstored\n",
        # Fed one byte at a time.
        "chunked-with-trailer": bytes([0x00, 0x00, 0x01, 0x01]) + ok
        + b"Transfer-Encoding: chunked\r\n\r\n3;note=x\r\nsto\r\n4\r\nred\n\r\n0\r\nX-Trailer: end\r\n\r\n",
        # An interim answer, then a refusal whose body runs to the end of the connection.
        "continue-then-until-close": bytes([0x00, 0x01, 0x03, 0x02, 0x05, 0x0B])
        + b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 401 Unauthorized\r\nConnection: close\r\n\r\nrefused\n",
        # A header block longer than a small limit.
        "header-limit": bytes([0x40, 0x00, 0x00]) + ok + b"X-Filler-0: " + b"x" * 64 + b"\r\n\r\n",
        "no-content": whole + b"HTTP/1.1 204 No Content\r\n\r\n",
    }


def settings():
    def change(section, key, value):
        section, key, value = (text.encode("utf-8") for text in (section, key, value))
        return bytes([len(section)]) + section + bytes([len(key)]) + key + word(len(value)) + value

    def seed(stored, ini, *changes):
        stored = stored.encode("utf-8")
        return word(len(stored)) + stored + word(len(ini)) + ini + b"".join(change(*c) for c in changes)

    ini = (
        b"; written by hand\n"
        b"[Settings]\n"
        b"Company=3323\n"
        b"User=E696F67616B6\n"
        b"Password=8E16E65647\n"
        b"CardReader=Virtual PCD 00 00\n"
        b"FilePath=/home/office/Documents/karty\n"
        b"\n"
        b"# kept as it is\n"
        b"[Window]\n"
        b"Left=120\n"
        b"Top=-1\n"
    )
    odd = (
        b"\xef\xbb\xbf[settings]\r\n"
        b"  company = \"  spaced  \"\r\n"
        b"junk without equals\r\n"
        b"[Other]\r\n"
        b"Password=AB\x00CD\r\n"
        b"[Settings]\r\n"
        b"User=second section\r\n"
        b"Top"
    )
    return {
        "settings-with-comments": seed("162636", ini, ("Settings", "Password", "8E16E65647"),
                                       ("Window", "Left", "-1")),
        "odd-lines-and-new-section": seed("8e16e6zz4", odd, ("Settings", "Company", " quoted \""),
                                          ("Upload", "Last", "C_20240229_2359_J_NOVAK_CZ12345678901234.ddd"),
                                          ("Settings", "User", "a\nb")),
        "empty-file": seed("", b"", ("Settings", "FilePath", "/tmp")),
    }


def file_name():
    driver = identification("DVOŘÁK", "ŽANETA MARIE")
    return {
        "driver-identification": driver,
        "padded-with-zeros": identification("NOVAK", "JAN", pad=b"\x00"),
        "short-read": driver[:69],
        "unsafe-bytes": identification(b"A/B\"C\\D\x01\x7f\x81", b"\n", b"CZ/../..\"x\x02"),
    }


def main():
    for target, seeds in (("fuzz_card_exchange", card_exchange()), ("fuzz_http_response", http_response()),
                          ("fuzz_settings", settings()), ("fuzz_file_name", file_name())):
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
