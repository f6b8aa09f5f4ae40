#!/usr/bin/env python3
"""Writes the benchmark payloads: compact XML-RPC methodResponse texts, the same
bytes on every run (a fixed random seed).

    python3 bench/make_payloads.py OUTPUT_DIR

mixed-100k.xml, mixed-1m.xml, mixed-10m.xml: an array of structs {name, id, score, active,
when, tags}; binary-10m.xml: one base64 value of 10 MiB of random bytes;
strings.xml: an array of 200,000 short strings.
"""

import base64
import os
import random
import sys

HEAD = '<?xml version="1.0"?>\r\n<methodResponse><params><param>'
TAIL = "</param></params></methodResponse>\r\n"


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def record(rnd, i):
    name = escape(f"node-{i} & <rack {rnd.randint(1, 99)}> ok")
    return (
        "<value><struct>"
        f"<member><name>active</name><value><boolean>{i % 2}</boolean></value></member>"
        f"<member><name>id</name><value><i4>{i}</i4></value></member>"
        f"<member><name>name</name><value>{name}</value></member>"
        f"<member><name>score</name><value><double>{rnd.uniform(0, 1000):f}</double></value></member>"
        "<member><name>tags</name><value><array><data><value>alpha</value>"
        f"<value>beta{i % 7}</value><value>gamma</value></data></array></value></member>"
        "<member><name>when</name><value><dateTime.iso8601>"
        f"2026{1 + i % 12:02d}{1 + i % 28:02d}T12:{i % 60:02d}:{(i * 7) % 60:02d}"
        "</dateTime.iso8601></value></member>"
        "</struct></value>")


def mixed(rnd, target_bytes):
    parts, size, i = [], 0, 0
    while size < target_bytes:
        parts.append(record(rnd, i))
        size += len(parts[-1])
        i += 1
    return "<value><array><data>" + "".join(parts) + "</data></array></value>"


def binary(rnd, nbytes):
    # 54 bytes to a line of 72 characters, each line ending in a line feed.
    data = rnd.randbytes(nbytes)
    lines = [base64.b64encode(data[i:i + 54]).decode() for i in range(0, len(data), 54)]
    text = "\n".join(lines) + ("\n" if len(data) % 54 == 0 else "")
    return "<value><base64>" + text + "</base64></value>"


def strings(count):
    return ("<value><array><data>" + "".join(f"<value>item {i}</value>" for i in range(count))
            + "</data></array></value>")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    rnd = random.Random(20261206)
    payloads = {
        "mixed-100k.xml": mixed(rnd, 100 * 1000),
        "mixed-10m.xml": mixed(rnd, 10 * 1000 * 1000),
        "binary-10m.xml": binary(rnd, 10 * 1024 * 1024),
        "strings.xml": strings(200000),
        # Its own generator, so that the other payloads stay as they were.
        "mixed-1m.xml": mixed(random.Random(20261207), 1000 * 1000),
    }
    for name, value in payloads.items():
        with open(os.path.join(out, name), "w", newline="") as f:
            f.write(HEAD + value + TAIL)


if __name__ == "__main__":
    main()
