"""A real submission server for TLS and SASL tests: Dovecot's submission
service on 127.0.0.1, with a certificate authority and certificates made
here with openssl, relaying what it accepts to another SMTP server.

Usage: dovecot_submission.py DIR --relay-port N [--user NAME --password WORD]
                             [--oauth2]

Prints "READY <starttls-port> <implicit-tls-port>" once both listeners
accept connections, or "SKIP <reason>" when Dovecot cannot run here (not
root, not installed). Then runs until standard input closes, and stops
Dovecot. DIR receives:
  ca.pem            the test authority (trust it to verify the server)
  server.pem        the server's certificate, for "localhost" only (so that
                    a connection to 127.0.0.1 meets a name mismatch)
  server.sha256     its SHA-256 fingerprint, hex with colons
  other-ca.pem      an authority that signed nothing the server shows
  dovecot.log       the server's log; each login names its mechanism

With --oauth2 the server also offers XOAUTH2 and OAUTHBEARER and checks the
bearer tokens itself, offline: Dovecot's oauth2 passdb validates them as
JWTs signed with HS256 by a key made here, and takes the user from "sub".
  oauth2.key        that key, base64 (as Dovecot's key dictionary holds it)
"""

import argparse
import base64
import os
import shutil
import socket
import subprocess
import sys
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def make_certificates(d):
    p = lambda name: os.path.join(d, name)
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p(ca + ".key"),
                "-out", p(ca + ".pem"), "-days", "2", "-subj", "/CN=Kelm test " + ca)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", p("server.key"),
            "-out", p("server.csr"), "-subj", "/CN=localhost")
    with open(p("ext.cnf"), "w") as f:
        f.write("subjectAltName=DNS:localhost\n")
    openssl("x509", "-req", "-in", p("server.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
            "-CAcreateserial", "-out", p("server.pem"), "-days", "2", "-extfile", p("ext.cnf"))
    out = subprocess.run(["openssl", "x509", "-in", p("server.pem"), "-noout", "-fingerprint",
                          "-sha256"], check=True, capture_output=True, text=True).stdout
    with open(p("server.sha256"), "w") as f:
        f.write(out.strip().split("=", 1)[1] + "\n")


CONFIG = """\
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
protocols = submission
listen = 127.0.0.1
ssl = required
ssl_cert = <{d}/server.pem
ssl_key = <{d}/server.key
ssl_min_protocol = TLSv1.2
auth_mechanisms = plain login cram-md5 scram-sha-1 scram-sha-256{bearer_mechanisms}
auth_verbose = yes
disable_plaintext_auth = yes
hostname = localhost
first_valid_uid = 1
mail_location = maildir:{d}/mail/%u
submission_relay_host = 127.0.0.1
submission_relay_port = {relay}
submission_relay_trusted = yes
{oauth2_passdb}passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/users
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={d}/home/%u
}}
service submission-login {{
  chroot =
  inet_listener submission {{
    port = {starttls}
  }}
  inet_listener submissions {{
    port = {implicit}
    ssl = yes
  }}
}}
service anvil {{
  chroot =
}}
"""


OAUTH2_PASSDB = """\
passdb {{
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = {d}/dovecot-oauth2.conf.ext
}}
"""

# Local validation: the key of a token without "azp" and "kid" is looked up
# as shared/default/<alg>/default in the dictionary; a folder dictionary
# keeps a shared key at <prefix>default/<alg>/default.
OAUTH2_CONFIG = """\
introspection_mode = local
local_validation_key_dict = fs:posix:prefix={d}/keys/
username_attribute = sub
"""


def make_oauth2_key(d):
    key = base64.b64encode(os.urandom(32)).decode()
    folder = os.path.join(d, "keys", "default", "HS256")
    os.makedirs(folder)
    for f in (os.path.join(folder, "default"), os.path.join(d, "oauth2.key")):
        with open(f, "w") as out:
            out.write(key)
    for root, dirs, files in os.walk(os.path.join(d, "keys")):
        os.chmod(root, 0o755)
        for name in files:
            os.chmod(os.path.join(root, name), 0o644)
    with open(os.path.join(d, "dovecot-oauth2.conf.ext"), "w") as f:
        f.write(OAUTH2_CONFIG.format(d=d))


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


def main():
    a = argparse.ArgumentParser()
    a.add_argument("dir")
    a.add_argument("--relay-port", type=int, required=True)
    a.add_argument("--user", default="alice")
    a.add_argument("--password", default="secret")
    a.add_argument("--oauth2", action="store_true")
    args = a.parse_args()
    # /usr/sbin may be missing from a non-login shell's PATH.
    dovecot = shutil.which("dovecot") or shutil.which("dovecot", path="/usr/sbin:/sbin")
    if os.geteuid() != 0 or not dovecot or not shutil.which("openssl"):
        print("SKIP Dovecot needs root and the dovecot-submissiond package", flush=True)
        sys.stdin.read()
        return
    d = os.path.abspath(args.dir)
    # Dovecot's authentication runs under its own user and must reach the
    # user list through this folder, which the caller may have made private.
    os.chmod(d, 0o755)
    for sub in ("run", "state", "home"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    make_certificates(d)
    with open(os.path.join(d, "users"), "w") as f:
        f.write("%s:{PLAIN}%s\n" % (args.user, args.password))
    if args.oauth2:
        make_oauth2_key(d)
    starttls, implicit = free_port(), free_port()
    conf = os.path.join(d, "dovecot.conf")
    with open(conf, "w") as f:
        f.write(CONFIG.format(d=d, relay=args.relay_port, starttls=starttls, implicit=implicit,
                              bearer_mechanisms=" xoauth2 oauthbearer" if args.oauth2 else "",
                              oauth2_passdb=OAUTH2_PASSDB.format(d=d) if args.oauth2 else ""))
    server = subprocess.Popen([dovecot, "-F", "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=sys.stderr)
    try:
        deadline = time.monotonic() + 15
        while not (accepts(starttls) and accepts(implicit)):
            if server.poll() is not None or time.monotonic() > deadline:
                print("SKIP Dovecot did not start; see", os.path.join(d, "dovecot.log"),
                      flush=True)
                sys.stdin.read()
                return
            time.sleep(0.05)
        print("READY", starttls, implicit, flush=True)
        sys.stdin.read()
    finally:
        server.terminate()
        try:
            server.wait(5)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(5)


if __name__ == "__main__":
    main()
