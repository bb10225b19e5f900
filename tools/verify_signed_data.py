#!/usr/bin/env python3
"""Verifies a PKCS#7 SignedData that the token host returned (Base64 or DER)
with the openssl command line, and prints its content.

RSA signatures are checked with `openssl cms -verify`. OpenSSL's CMS code does
not verify SM2, so for SM2 the SignedData is taken apart and the signature is
checked with `openssl dgst -sm3` over the content, with the signer's public key
and the default SM2 signer ID.

Usage: verify_signed_data.py FILE [--content-out FILE]
"""
import argparse
import base64
import os
import subprocess
import sys
import tempfile

SM2_SIGNER_ID = "1234567812345678"
SM2_ALGORITHM_OID = bytes.fromhex("06082a811ccf5501822d")  # 1.2.156.10197.1.301


def der_children(data, start=0, end=None):
    """(element start, value start, value end) of each DER element in data[start:end]."""
    end = len(data) if end is None else end
    children = []
    while start < end:
        element, length_byte = start, data[start + 1]
        start += 2
        if length_byte & 0x80:
            count = length_byte & 0x7F
            length = int.from_bytes(data[start:start + count], "big")
            start += count
        else:
            length = length_byte
        if start + length > end:
            raise ValueError("DER element overruns its container")
        children.append((element, start, start + length))
        start += length
    return children


def der_inside(data, element):
    return der_children(data, element[1], element[2])


def signed_data_parts(der):
    """Content, first certificate, first signature and whether the signer uses SM2."""
    content_info, = der_children(der)
    _content_type, explicit = der_inside(der, content_info)
    signed_data, = der_inside(der, explicit)
    fields = der_inside(der, signed_data)
    encap, certificates, signer_infos = fields[2], fields[3], fields[-1]
    _data_type, wrapped = der_inside(der, encap)
    content, = der_inside(der, wrapped)
    certificate = der_inside(der, certificates)[0]
    signer_info = der_inside(der, signer_infos)[0]
    signer_fields = der_inside(der, signer_info)
    algorithm, signature = signer_fields[3], signer_fields[4]
    sm2 = SM2_ALGORITHM_OID in der[algorithm[1]:algorithm[2]]
    return (der[content[1]:content[2]], der[certificate[0]:certificate[2]], der[signature[1]:signature[2]], sm2)


def openssl(*args, data=None):
    result = subprocess.run(["openssl"] + list(args), input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return result.returncode, result.stdout, result.stderr.decode(errors="replace")


def verify_sm2(work, content, certificate, signature):
    paths = {part: os.path.join(work, part) for part in ("content", "sig", "pem")}
    for part, data in (("content", content), ("sig", signature)):
        with open(paths[part], "wb") as output:
            output.write(data)
    status, key, errors = openssl("x509", "-inform", "DER", "-pubkey", "-noout", data=certificate)
    if status != 0:
        return False, "signer certificate unreadable: " + errors.strip()
    with open(paths["pem"], "wb") as output:
        output.write(key)
    status, _, errors = openssl("dgst", "-sm3", "-verify", paths["pem"], "-sigopt", "distid:" + SM2_SIGNER_ID,
                                "-signature", paths["sig"], paths["content"])
    return status == 0, errors.strip() or "SM2 signature verified"


def verify_rsa(work, der):
    path = os.path.join(work, "signed.p7s")
    with open(path, "wb") as signed:
        signed.write(der)
    status, _, errors = openssl("cms", "-verify", "-inform", "DER", "-in", path, "-noverify", "-binary",
                                "-out", os.devnull)
    return status == 0, errors.strip()


def verify(der):
    """(verified, message, content, signer subject)."""
    content, certificate, signature, sm2 = signed_data_parts(der)
    _, subject, _ = openssl("x509", "-inform", "DER", "-noout", "-subject", data=certificate)
    with tempfile.TemporaryDirectory() as work:
        ok, message = verify_sm2(work, content, certificate, signature) if sm2 else verify_rsa(work, der)
    return ok, message, content, subject.decode(errors="replace").strip()


def read_signed_data(path):
    with open(path, "rb") as source:
        data = source.read()
    if data[:1] == b"\x30":
        return data
    return base64.b64decode(b"".join(data.split()), validate=True)


def main():
    parser = argparse.ArgumentParser(description="Verify a SignedData returned by the token host.")
    parser.add_argument("file", help="Base64 text or DER of the SignedData")
    parser.add_argument("--content-out", help="write the signed content to this file")
    args = parser.parse_args()
    try:
        ok, message, content, subject = verify(read_signed_data(args.file))
    except (ValueError, IndexError) as error:
        print("not a SignedData of the expected layout: %s" % error)
        return 2
    print("  openssl: %s" % message)
    print("  signer: %s" % subject)
    printable = "".join(chr(b) if 32 <= b < 127 else "." for b in content[:120])
    print("  content (%d bytes): %s" % (len(content), printable))
    if args.content_out:
        with open(args.content_out, "wb") as output:
            output.write(content)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
