#!/usr/bin/env python3
"""Writes App Store-like receipt fixtures: Python describes the attributes for
`openssl asn1parse -genconf`, OpenSSL makes the DER and wraps it in a CMS signed-data
container, hashlib makes the hash attribute for the given vendor id.

    make_receipts.py OUT_DIR

Writes OUT_DIR/<name>.der and OUT_DIR/<name>.json (the description: vendor id, bundle id and
version, and the in-app items). The signing time changes at every run, so fixtures are made
once and kept; run again only to add a fixture.
"""
import hashlib
import json
import os
import subprocess
import sys
import tempfile

VENDOR_ID = bytes(range(0x10, 0x20))
BUNDLE_ID = "com.orvane.sample"
VERSION = "1.0.3"


def item(n, free_trial=0, intro=0, product=None):
    return {
        "productID": product or "com.orvane.sample.product%d" % (n % 7),
        "transactionID": "10000%06d" % n,
        "originalTransactionID": "20000%06d" % n,
        "purchaseDateIA5String": "2026-01-%02dT10:00:00Z" % (n % 28 + 1),
        "originalPurchaseDateIA5String": "2025-12-%02dT10:00:00Z" % (n % 28 + 1),
        "subscriptionExpirationDateIA5String": "2026-02-%02dT10:00:00Z" % (n % 28 + 1),
        "webOrderLineItemID": 50000000 + n,
        "purchaseType": n % 3,
        "freeTrial": free_trial,
        "introductoryOffer": intro,
    }


def genconf(items, bundle_id, version, hash_kind, vendor_id, omit=()):
    lines = ["asn1=SET:receipt", "[receipt]"]
    sections = []
    bundle_der = None
    opaque = b"\x01\x02\x03\x04\x05\x06\x07\x08"
    attrs = []
    # The B value as the reader sees it: the UTF8String with its tag and length.
    raw = bundle_id.encode()
    if len(raw) < 128:
        bundle_der = bytes([12, len(raw)]) + raw
    else:
        bundle_der = bytes([12, 0x81, len(raw)]) + raw
    hash_fn = {"sha1": hashlib.sha1, "sha256": hashlib.sha256}[hash_kind]
    digest = hash_fn(vendor_id + opaque + bundle_der).digest()
    attrs.append(("b", 2, "OCTWRAP,UTF8String:" + bundle_id))
    attrs.append(("v", 19, "OCTWRAP,UTF8String:" + version))
    attrs.append(("o", 4, "FORMAT:HEX,OCTETSTRING:" + opaque.hex()))
    attrs.append(("h", 5, "FORMAT:HEX,OCTETSTRING:" + digest.hex()))
    for i, it in enumerate(items):
        attrs.append(("i%d" % i, 17, "OCTWRAP,SET:iap%d" % i))
        fields = [
            (1702, "OCTWRAP,UTF8String:" + it["productID"]),
            (1703, "OCTWRAP,UTF8String:" + it["transactionID"]),
            (1705, "OCTWRAP,UTF8String:" + it["originalTransactionID"]),
            (1708, "OCTWRAP,IA5STRING:" + it["subscriptionExpirationDateIA5String"]),
            (1713, "OCTWRAP,INTEGER:%d" % it["freeTrial"]),
            (1719, "OCTWRAP,INTEGER:%d" % it["introductoryOffer"]),
            (1707, "OCTWRAP,INTEGER:%d" % it["purchaseType"]),
            (1711, "OCTWRAP,INTEGER:%d" % it["webOrderLineItemID"]),
            (1704, "OCTWRAP,IA5STRING:" + it["purchaseDateIA5String"]),
            (1706, "OCTWRAP,IA5STRING:" + it["originalPurchaseDateIA5String"]),
        ]
        sec = ["[iap%d]" % i]
        for j, (t, v) in enumerate(fields):
            sec.append("f%d=SEQUENCE:iap%d_f%d" % (j, i, j))
            sections.append("[iap%d_f%d]\ntype=INTEGER:%d\nversion=INTEGER:1\nvalue=%s" % (i, j, t, v))
        sections.append("\n".join(sec))
    for name, t, v in attrs:
        if name in omit:
            continue
        lines.append("%s=SEQUENCE:attr_%s" % (name, name))
        sections.append("[attr_%s]\ntype=INTEGER:%d\nversion=INTEGER:1\nvalue=%s" % (name, t, v))
    return "\n".join(lines + sections) + "\n"


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def make(out, name, items, bundle_id=BUNDLE_ID, version=VERSION, hash_kind="sha1", omit=()):
    with tempfile.TemporaryDirectory() as tmp:
        conf = os.path.join(tmp, "receipt.conf")
        with open(conf, "w") as f:
            f.write(genconf(items, bundle_id, version, hash_kind, VENDOR_ID, omit))
        content = os.path.join(tmp, "content.der")
        run("openssl", "asn1parse", "-genconf", conf, "-out", content, "-noout")
        key, cert = os.path.join(tmp, "key.pem"), os.path.join(tmp, "cert.pem")
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Receipt Test",
            "-days", "3650", "-keyout", key, "-out", cert)
        der = os.path.join(out, name + ".der")
        # -binary: without it every 0x0A byte of the content is turned into CR LF.
        run("openssl", "cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-in", content,
            "-signer", cert, "-inkey", key, "-out", der)
        check = os.path.join(tmp, "check.der")
        run("openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", der,
            "-out", check)
        assert open(check, "rb").read() == open(content, "rb").read(), name
    with open(os.path.join(out, name + ".json"), "w") as f:
        json.dump({"vendorID": VENDOR_ID.hex(), "bundleID": bundle_id, "version": version,
                   "items": items}, f, indent=1)


def main():
    if len(sys.argv) != 2 or sys.argv[1].startswith("-"):
        sys.exit("usage: make_receipts.py OUT_DIR  (writes the receipt fixtures into OUT_DIR)")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    make(out, "sha1", [item(1)])
    make(out, "sha256", [item(1), item(2, intro=1)], hash_kind="sha256")
    make(out, "other-bundle", [item(1)], bundle_id="com.other.app")
    make(out, "no-in-app", [], omit=())
    make(out, "free-trial-2", [item(3, free_trial=2)])
    make(out, "long-bundle", [item(4)], bundle_id="com.orvane." + "x" * 130)
    make(out, "many", [item(n) for n in range(1000)])


if __name__ == "__main__":
    main()
