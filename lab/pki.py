"""Test certificates, made at test time: a trusted test CA (the only one in the
bundle installed as /etc/ca-bundle.crt), an untrusted CA outside the bundle, and
server certificates issued by either."""

import datetime
import ipaddress
from collections import namedtuple
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import NameOID

Issued = namedtuple("Issued", "cert key")  # host paths of the PEM files


def _key(bits):
    return rsa.generate_private_key(public_exponent=65537, key_size=bits)


def _write_key(key, path):
    path.write_bytes(key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.TraditionalOpenSSL,
        serialization.NoEncryption()))


def _write_cert(cert, path):
    path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))


class CA:
    """A certificate authority, self-signed or issued by another CA (an
    intermediate); cert and key are host paths."""

    def __init__(self, directory, name, issuer=None):
        now = datetime.datetime.now(datetime.timezone.utc)
        self.name = name
        self.private_key = _key(2048)
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        self.certificate = (
            x509.CertificateBuilder()
            .subject_name(subject)
            .issuer_name(issuer.certificate.subject if issuer else subject)
            .public_key(self.private_key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=3650))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(
                digital_signature=False, content_commitment=False,
                key_encipherment=False, data_encipherment=False, key_agreement=False,
                key_cert_sign=True, crl_sign=True, encipher_only=False,
                decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(
                self.private_key.public_key()), critical=False)
            .sign(issuer.private_key if issuer else self.private_key, hashes.SHA256())
        )
        self.cert = Path(directory) / f"{name}.crt"
        self.key = Path(directory) / f"{name}.key"
        _write_cert(self.certificate, self.cert)
        _write_key(self.private_key, self.key)


class Pki:
    """pki.ca: the trusted test CA; pki.untrusted: a CA outside the bundle;
    pki.intermediate: a CA issued by the test CA;
    pki.bundle: the bundle file (the test CA only);
    pki.issue(cn, ...): a server certificate and key.
    pki.web_server(host): the certificate a web server carries for host.
    pki.public_cas(): CA certificates of other names, as a public bundle
    holds."""

    def __init__(self, directory):
        self.dir = Path(directory)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.ca = CA(self.dir, "halvorpin-test-ca")
        self.untrusted = CA(self.dir, "halvorpin-untrusted-ca")
        self.intermediate = CA(self.dir, "halvorpin-intermediate-ca", issuer=self.ca)
        self._public = None
        self.bundle = self.dir / "ca-bundle.crt"
        self.bundle.write_bytes(self.ca.cert.read_bytes())
        self._issued = {}

    def issue(self, cn, *, expired=False, issuer=None, no_cn=False, key_bits=2048,
              san_dns=(), san_ip=()):
        """Certificate for common name cn signed by issuer (default the test
        CA; pass pki.untrusted for one outside the bundle); expired=True
        makes one whose validity ended yesterday; no_cn=True leaves the
        common name out of the subject. san_dns and san_ip (texts) make a
        subject alternative name extension with those DNS names and IP
        addresses, in that order; without either there is none.
        Returns Issued(cert, key) paths. The same request gives the same
        files again (keys are slow to make)."""
        issuer = issuer or self.ca
        request = (cn, expired, issuer.name, no_cn, key_bits, tuple(san_dns), tuple(san_ip))
        if request not in self._issued:
            self._issued[request] = self._make(len(self._issued), *request, issuer)
        return self._issued[request]

    def public_cas(self, count=150):
        """`count` self-signed CA certificates (PEM bytes) named "Public Root
        CA <n>", all with one EC key: only their names matter beside the test
        CA."""
        if self._public is None or len(self._public) < count:
            now = datetime.datetime.now(datetime.timezone.utc)
            key = ec.generate_private_key(ec.SECP256R1())
            self._public = []
            for n in range(count):
                name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, f"Public Root CA {n}")])
                cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                        .public_key(key.public_key()).serial_number(x509.random_serial_number())
                        .not_valid_before(now - datetime.timedelta(days=1))
                        .not_valid_after(now + datetime.timedelta(days=3650))
                        .add_extension(x509.BasicConstraints(ca=True, path_length=None),
                                       critical=True)
                        .sign(key, hashes.SHA256()))
                self._public.append(cert.public_bytes(serialization.Encoding.PEM))
        return self._public[:count]

    def web_server(self, host):
        """What a web server's operator installs for host: the common name
        and a DNS subject alternative name of the same host."""
        return self.issue(host, san_dns=[host])

    def _make(self, number, cn, expired, issuer_name, no_cn, key_bits, san_dns, san_ip, issuer):
        now = datetime.datetime.now(datetime.timezone.utc)
        if expired:
            start, end = now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)
        else:
            start, end = now - datetime.timedelta(days=1), now + datetime.timedelta(days=365)
        names = [x509.NameAttribute(NameOID.ORGANIZATION_NAME, "halvorpin tests")]
        if not no_cn:
            names.append(x509.NameAttribute(NameOID.COMMON_NAME, cn))
        key = _key(key_bits)
        builder = (
            x509.CertificateBuilder()
            .subject_name(x509.Name(names))
            .issuer_name(issuer.certificate.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(start)
            .not_valid_after(end)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                issuer.private_key.public_key()), critical=False)
        )
        alt_names = [x509.DNSName(name) for name in san_dns] + \
            [x509.IPAddress(ipaddress.ip_address(addr)) for addr in san_ip]
        if alt_names:
            builder = builder.add_extension(x509.SubjectAlternativeName(alt_names),
                                            critical=False)
        cert = builder.sign(issuer.private_key, hashes.SHA256())
        stem = self.dir / f"server-{number}"
        issued = Issued(stem.with_suffix(".crt"), stem.with_suffix(".key"))
        _write_cert(cert, issued.cert)
        _write_key(key, issued.key)
        return issued


# ---- package signing ----------------------------------------------------------

def signing_key(kind="rsa-2048"):
    """An operator's package signing key: "rsa-2048", "rsa-1024" (too small
    for the unit) or "p256"."""
    if kind == "p256":
        return ec.generate_private_key(ec.SECP256R1())
    return _key(int(kind.split("-")[1]))


def sign(key, data):
    """The detached signature `openssl dgst -sha256 -sign KEY` makes of data:
    PKCS #1 v1.5 for RSA, DER for ECDSA."""
    if isinstance(key, ec.EllipticCurvePrivateKey):
        return key.sign(data, ec.ECDSA(hashes.SHA256()))
    return key.sign(data, padding.PKCS1v15(), hashes.SHA256())


def public_pem(key):
    """The public half as a PEM "PUBLIC KEY", as `openssl pkey -pubout` writes it."""
    return key.public_key().public_bytes(serialization.Encoding.PEM,
                                         serialization.PublicFormat.SubjectPublicKeyInfo)
