"""Writes a self-signed certificate and its key for tests.

Usage: make_certificate.py OUT.pem NAME FROM_DAYS TO_DAYS [ALT_NAMES]

The certificate is for NAME (common name and DNS alternative name), valid
from FROM_DAYS to TO_DAYS days after now (negative: in the past), so that
expired and not-yet-valid certificates can be made too. ALT_NAMES replaces
the alternative names: comma-separated "dns:NAME" and "ip:ADDRESS" entries,
or "none" for a certificate without the extension. The key goes to OUT.key
beside it.
"""

import datetime
import ipaddress
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def main():
    out, name, start, end = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    alt = [x509.DNSName(name)]
    if len(sys.argv) > 5:
        alt = []
        for entry in sys.argv[5].split(","):
            kind, _, value = entry.partition(":")
            if kind == "dns":
                alt.append(x509.DNSName(value))
            elif kind == "ip":
                alt.append(x509.IPAddress(ipaddress.ip_address(value)))
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now + datetime.timedelta(days=start))
               .not_valid_after(now + datetime.timedelta(days=end)))
    if alt:
        builder = builder.add_extension(x509.SubjectAlternativeName(alt), critical=False)
    cert = builder.sign(key, hashes.SHA256())
    with open(out, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(out.rsplit(".", 1)[0] + ".key", "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))


if __name__ == "__main__":
    main()
