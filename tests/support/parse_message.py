"""Parses one stored message with Python's email package and prints JSON.

Usage: parse_message.py FILE.eml

Output: {"headers": {...first values...}, "parts": [{"content_type",
"filename", "content_id", "disposition", "size", "sha256", "text"}]} where
"text" is the decoded payload of text parts only.
"""

import email
import email.policy
import hashlib
import json
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.compat32)
    out = {"headers": {k: str(v) for k, v in msg.items()},
           "multipart": msg.is_multipart(),
           "content_type": msg.get_content_type(),
           "defects": [type(d).__name__ for d in msg.defects],
           "parts": []}
    for part in msg.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        entry = {"content_type": part.get_content_type(),
                 "filename": part.get_filename(),
                 "content_id": part.get("Content-ID"),
                 "disposition": part.get("Content-Disposition"),
                 "size": len(payload),
                 "sha256": hashlib.sha256(payload).hexdigest(),
                 "defects": [type(d).__name__ for d in part.defects]}
        if part.get_content_maintype() == "text":
            entry["text"] = payload.decode("latin-1")
        out["parts"].append(entry)
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
