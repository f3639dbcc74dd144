"""Reads one stored message as a modern mail reader does (Python's email
package with policy=email.policy.default) and prints JSON.

Usage: read_message.py FILE.eml

Output:
  headers      {name: decoded value} for Subject, From, To, Cc, Reply-To,
               Message-ID
  addresses    {From/To/Cc/Reply-To: [[display name, addr_spec], ...]}
  parts        one entry per leaf part: content_type, charset, encoding,
               filename (decoded; RFC 2231 and RFC 2047 both understood),
               name_param (the Content-Type name=, decoded), content_id,
               text (the
               decoded text of text parts without a file name)
  words        every RFC 2047 encoded word of the header block, as written
  bad_words    the words that are longer than 75 characters or that do not
               decode on their own (a UTF-8 word must be strict UTF-8)
  long_lines   header lines longer than 78 characters
  defects      the parser's complaints
"""

import base64
import binascii
import email
import email.header
import email.policy
import email.utils
import json
import re
import sys

WORD = re.compile(rb"=\?([^?\s]+)\?([QqBb])\?([^?\s]*)\?=")


def decode_word(charset, encoding, text):
    if encoding in b"Bb":
        data = base64.b64decode(text, validate=True)
    else:
        data = binascii.a2b_qp(text.replace(b"_", b" "), header=True)
    return data.decode(charset.decode("ascii"), errors="strict")


def check_words(head):
    words, bad = [], []
    for m in WORD.finditer(head):
        word = m.group(0)
        words.append(word.decode("ascii", "replace"))
        try:
            decode_word(*m.groups())
            ok = len(word) <= 75
        except (ValueError, LookupError, binascii.Error):
            ok = False
        if not ok:
            bad.append(word.decode("ascii", "replace"))
    return words, bad


def utf8(text):
    """Header text parsed from bytes keeps UTF-8 octets (RFC 6532) as
    surrogate escapes in the address objects; this gives the characters."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    head = raw.split(b"\r\n\r\n", 1)[0]
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    words, bad = check_words(head)
    out = {
        "headers": {},
        "addresses": {},
        "parts": [],
        "words": words,
        "bad_words": bad,
        "long_lines": [l.decode("utf-8", "replace") for l in head.split(b"\r\n") if len(l) > 78],
        "defects": [type(d).__name__ for p in msg.walk() for d in p.defects],
    }
    for name in ("Subject", "From", "To", "Cc", "Reply-To", "Message-ID"):
        if msg[name] is not None:
            out["headers"][name] = str(msg[name])
    for name in ("From", "To", "Cc", "Reply-To"):
        if msg[name] is not None:
            out["addresses"][name] = [[utf8(a.display_name), utf8(a.addr_spec)]
                                      for a in msg[name].addresses]
    for part in msg.walk():
        if part.is_multipart():
            continue
        entry = {"content_type": part.get_content_type(),
                 "charset": part.get_content_charset() or "",
                 "encoding": part.get("Content-Transfer-Encoding", ""),
                 "filename": part.get_filename(),
                 "content_id": part.get("Content-ID"),
                 "name_param": part.get_param("name")}
        if isinstance(entry["name_param"], tuple):
            entry["name_param"] = email.utils.collapse_rfc2231_value(entry["name_param"])
        if entry["name_param"] is not None:
            entry["name_param"] = str(email.header.make_header(
                email.header.decode_header(entry["name_param"])))
        if part.get_content_maintype() == "text" and entry["filename"] is None:
            entry["text"] = part.get_content()
        out["parts"].append(entry)
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
