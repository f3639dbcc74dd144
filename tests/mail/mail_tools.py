"""Independent decoders for the mail tests, on Python's standard library.

  mail_tools.py b64decode            stdin: Base64 lines with CRLF; stdout: the bytes
                                     (strict: any other character fails)
  mail_tools.py header               stdin: a header value (ISO-8859-1 bytes, may be
                                     folded, may hold encoded words); stdout: the
                                     decoded text as UTF-8
  mail_tools.py mime MSG OUTDIR      parses the message file MSG; writes the decoded
                                     payload of each leaf part to OUTDIR/<n>.bin and
                                     prints a JSON description of the message
"""

import base64
import binascii
import email
import email.header
import email.policy
import email.utils
import json
import os
import sys


def b64decode():
    data = sys.stdin.buffer.read()
    lines = data.split(b"\r\n")
    if lines[-1] != b"":
        sys.exit("output does not end with CRLF")
    for line in lines[:-2]:
        if len(line) != 76:
            sys.exit("inner line of %d characters" % len(line))
    try:
        sys.stdout.buffer.write(base64.b64decode(b"".join(lines), validate=True))
    except binascii.Error as e:
        sys.exit(str(e))


def header():
    value = sys.stdin.buffer.read().decode("latin-1")
    text = str(email.header.make_header(email.header.decode_header(value)))
    sys.stdout.buffer.write(text.encode("utf-8"))


def decoded(text):
    return str(email.header.make_header(email.header.decode_header(text)))


def mime(path, outdir):
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.compat32)
    parts = []
    for n, part in enumerate(p for p in msg.walk() if not p.is_multipart()):
        payload = part.get_payload(decode=True) or b""
        name = "%d.bin" % n
        with open(os.path.join(outdir, name), "wb") as out:
            out.write(payload)
        parts.append({
            "content_type": part.get_content_type(),
            "charset": part.get_content_charset() or "",
            "content_id": part.get("Content-ID", ""),
            "disposition": part.get_content_disposition() or "",
            "filename": part.get_filename() or "",
            "name_param": part.get_param("name") or "",
            "transfer_encoding": part.get("Content-Transfer-Encoding", ""),
            "file": name,
        })
    description = {
        "content_type": msg.get_content_type(),
        "boundary": msg.get_boundary() or "",
        "defects": [type(d).__name__ for p in msg.walk() for d in p.defects],
        "from": msg.get("From", ""),
        "to": msg.get("To", ""),
        # Each address field as a reader splits it: [[name, address], ...].
        "mailboxes": {field: [[decoded(name), address] for name, address
                              in email.utils.getaddresses(msg.get_all(field, []))]
                      for field in ("From", "To", "Cc")},
        "subject": str(email.header.make_header(email.header.decode_header(msg.get("Subject", "")))),
        "parts": parts,
    }
    print(json.dumps(description))


if __name__ == "__main__":
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "b64decode":
        b64decode()
    elif command == "header":
        header()
    elif command == "mime" and len(sys.argv) == 4:
        mime(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
