"""Debian's own web servers inside a world: as package hosts, and as the
TLS-terminating reverse proxies operators put in front of the collection
server.

Operators put packages on the web servers they already run, so the lab runs
the real ones: Debian's nginx, apache2 (mod_ssl, mod_headers) and lighttpd
(mod_openssl), each with its stock Debian configuration and TLS switched on
the way Debian's files and tools offer it, serving the stock document root
/var/www/html on port 443 (and 80). What the lab changes is the certificate
paths; a few helpers for particular cases (a body filter that drops the
length, a second name-based server, a redirect) come on top only when asked.

With proxy_to="ADDR:PORT" the same servers (and Debian's haproxy) forward
every request to a plain-HTTP backend there instead, set up as an operator
would: the stock configuration with only the site, the certificate and the
backend set (nginx proxy_pass, Apache mod_proxy ProxyPass, lighttpd
mod_proxy, an haproxy frontend and backend).

The world's /etc is already private; /var and /run, where the servers write
their logs, pid files and locks and where the document root lives, get
private overlays (Sandbox.overlay), so the host never changes. Every server
runs in the foreground inside the world and ends with it. One stock server
per world: they all listen on ports 80 and 443 of every address.

    from webservers import start_nginx
    server = start_nginx(box, pki.web_server("packages.test"),
                         {"package.tar.gz": data})
    server.access_log()      # the server's own access log lines
"""

import re
import time
from pathlib import Path

DOCROOT = "/var/www/html"
PORT = 443

# The body filters that drop the length (chunked=True).
NEVER_PRESENT = "halvorpin-lab-never-present"
NGINX_NO_LENGTH = f"""\
# Filter every body through a substitution that never matches: the server
# no longer knows the length and sends the body chunked.
sub_filter '{NEVER_PRESENT}' '';
sub_filter_types *;
"""
APACHE_NO_LENGTH = f"""\
# Filter every body through a substitution that never matches: the server
# no longer knows the length and sends the body chunked.
<Directory {DOCROOT}>
    SetOutputFilter SUBSTITUTE
    Substitute "s/{NEVER_PRESENT}//n"
</Directory>
"""


class WebServer:
    """A stock web server running in a world."""

    def __init__(self, box, name, proc, access_log, error_log, console):
        self.box = box
        self.name = name
        self.proc = proc
        self.access_log_path = access_log
        self.error_log_path = error_log
        self.console = console

    def access_log(self, at_least=0, timeout=10):
        """The lines of the server's access log (its own format), oldest
        first. A server writes a request's line once the reply is out, which
        may be after the client has its answer: with at_least, wait up to
        timeout seconds for that many lines."""
        deadline = time.monotonic() + timeout
        while len(lines := _lines(self.box, self.access_log_path)) < at_least and \
                time.monotonic() < deadline:
            time.sleep(0.05)
        return lines

    def error_log(self):
        return _lines(self.box, self.error_log_path)

    def describe(self):
        """The server's logs and console output, for a failed case's report."""
        console = self.console.read_text(errors="replace") if self.console.exists() else ""
        return (f"<{self.name} access log>\n" + "\n".join(self.access_log()) +
                f"\n<{self.name} error log>\n" + "\n".join(self.error_log()) +
                f"\n<{self.name} console>\n{console}")


def _lines(box, path):
    return box.read(path).decode(errors="replace").splitlines() if box.exists(path) else []


def start_nginx(box, cert, files, *, chunked=False, names=None, extra_conf="", proxy_to=None):
    """Debian's nginx with its stock default site and the TLS lines that
    site carries commented out switched on (listen 443 ssl, the snakeoil
    snippet, whose certificate paths become cert's). files: {path under
    the document root: bytes}. chunked=True adds a body filter that drops
    the length; names={host: cert} adds a name-based TLS server for each
    host on the same port, with the same document root, beside the stock
    default server; extra_conf goes in at the http level (conf.d);
    proxy_to makes the default server's one location a proxy_pass to
    that backend."""
    _prepare(box, files)
    site = box.read("/etc/nginx/sites-available/default").decode()
    for line in ("listen 443 ssl default_server;", "listen [::]:443 ssl default_server;",
                 "include snippets/snakeoil.conf;"):
        site, count = re.subn(r"#\s*" + re.escape(line), line, site, count=1)
        assert count == 1, f"nginx's stock default site no longer holds '# {line}'"
    if proxy_to is not None:
        site, count = re.subn(r"try_files \$uri \$uri/ =404;", f"proxy_pass http://{proxy_to};",
                              site, count=1)
        assert count == 1, "nginx's stock default site no longer serves files with try_files"
    box.write("/etc/nginx/sites-available/default", site)
    box.write("/etc/nginx/snippets/snakeoil.conf",
              f"ssl_certificate {cert.cert};\nssl_certificate_key {cert.key};\n")
    conf = extra_conf + (NGINX_NO_LENGTH if chunked else "")
    for host, host_cert in (names or {}).items():
        conf += (f"server {{\n"
                 f"    listen {PORT} ssl;\n    listen [::]:{PORT} ssl;\n"
                 f"    server_name {host};\n"
                 f"    ssl_certificate {host_cert.cert};\n"
                 f"    ssl_certificate_key {host_cert.key};\n"
                 f"    root {DOCROOT};\n"
                 f"    location / {{ try_files $uri $uri/ =404; }}\n"
                 f"}}\n")
    if conf:
        box.write("/etc/nginx/conf.d/halvorpin-lab.conf", conf)
    return _start(box, "nginx", ["/usr/sbin/nginx", "-g", "daemon off;"],
                  "/var/log/nginx/access.log", "/var/log/nginx/error.log")


def start_apache(box, cert, files, *, chunked=False, extra_conf="", modules=(), proxy_to=None):
    """Debian's apache2 with its stock sites, mod_ssl and mod_headers enabled
    and the stock default-ssl site enabled (a2enmod, a2ensite), whose
    certificate paths become cert's. files: {path under the document root:
    bytes}. chunked=True adds a body filter that drops the length (mod_substitute);
    extra_conf is a configuration snippet (conf-enabled), modules further
    modules to enable for it; proxy_to enables mod_proxy and mod_proxy_http
    and passes every path to that backend (ProxyPass)."""
    _prepare(box, files)
    mods = ["ssl", "headers", *modules] + (["substitute"] if chunked else [])
    if proxy_to is not None:
        mods += ["proxy", "proxy_http"]
        extra_conf += (f'ProxyPass "/" "http://{proxy_to}/"\n'
                       f'ProxyPassReverse "/" "http://{proxy_to}/"\n')
    _run(box, ["a2enmod", "-q", *mods])
    _run(box, ["a2ensite", "-q", "default-ssl"])
    site_path = "/etc/apache2/sites-available/default-ssl.conf"
    site = box.read(site_path).decode()
    for directive, value in (("SSLCertificateFile", cert.cert),
                             ("SSLCertificateKeyFile", cert.key)):
        site, count = re.subn(rf"^(\s*{directive}\s+)\S+", rf"\g<1>{value}", site,
                              count=1, flags=re.MULTILINE)
        assert count == 1, f"apache's stock default-ssl site has no {directive}"
    box.write(site_path, site)
    conf = extra_conf + (APACHE_NO_LENGTH if chunked else "")
    if conf:
        box.write("/etc/apache2/conf-enabled/halvorpin-lab.conf", conf)
    # What apache2ctl and the service unit do before starting it: the
    # directories named in envvars.
    start = ('. /etc/apache2/envvars && '
             'mkdir -p "$APACHE_RUN_DIR" "$APACHE_LOCK_DIR" "$APACHE_LOG_DIR" && '
             'exec /usr/sbin/apache2 -D FOREGROUND')
    return _start(box, "apache2", ["/bin/sh", "-c", start],
                  "/var/log/apache2/access.log", "/var/log/apache2/error.log")


def start_lighttpd(box, cert, files, *, extra_conf="", proxy_to=None):
    """Debian's lighttpd with its stock configuration, mod_openssl's stock
    10-ssl.conf enabled (lighty-enable-mod ssl), whose ssl.pemfile becomes
    cert's certificate and key, and the stock access log module enabled
    (lighty-enable-mod accesslog) so requests are seen. files: {path under
    the document root: bytes}; extra_conf goes in as one more conf-enabled
    file; proxy_to enables the stock 10-proxy.conf (mod_proxy) and passes
    every path to that backend."""
    _prepare(box, files)
    _run(box, ["lighty-enable-mod", "ssl", "accesslog", *(["proxy"] if proxy_to else [])],
         ok=(0, 2))
    if proxy_to is not None:
        address, port = proxy_to.rsplit(":", 1)
        extra_conf += (f'proxy.server = ( "" => ( ( "host" => "{address}", '
                       f'"port" => {port} ) ) )\n')
    pem = "/etc/lighttpd/halvorpin-lab.pem"
    box.write(pem, Path(cert.cert).read_bytes() + Path(cert.key).read_bytes(), mode=0o600)
    ssl_path = "/etc/lighttpd/conf-available/10-ssl.conf"
    ssl_conf, count = re.subn(r'^(ssl\.pemfile\s*=\s*)"[^"]*"', rf'\g<1>"{pem}"',
                              box.read(ssl_path).decode(), count=1, flags=re.MULTILINE)
    assert count == 1, "lighttpd's stock 10-ssl.conf has no ssl.pemfile"
    box.write(ssl_path, ssl_conf)
    if extra_conf:
        box.write("/etc/lighttpd/conf-enabled/99-halvorpin-lab.conf", extra_conf)
    return _start(box, "lighttpd",
                  ["/usr/sbin/lighttpd", "-D", "-f", "/etc/lighttpd/lighttpd.conf"],
                  "/var/log/lighttpd/access.log", "/var/log/lighttpd/error.log")


def start_haproxy(box, cert, proxy_to):
    """Debian's haproxy with its stock haproxy.cfg (global and defaults)
    and one frontend and backend added, as its documentation has them: TLS
    on port 443 with cert's certificate and key, every request to the
    plain-HTTP backend at proxy_to. It runs in the foreground (-db); it has
    no access log without a syslog."""
    _prepare(box, {})
    pem = "/etc/haproxy/halvorpin-lab.pem"
    box.write(pem, Path(cert.cert).read_bytes() + Path(cert.key).read_bytes(), mode=0o600)
    config = box.read("/etc/haproxy/haproxy.cfg").decode()
    config += (f"\nfrontend collector\n    bind :{PORT} ssl crt {pem}\n"
               f"    default_backend collector\n\n"
               f"backend collector\n    server backend {proxy_to}\n")
    box.write("/etc/haproxy/haproxy.cfg", config)
    # What the service does before starting it: its socket directory.
    _run(box, ["mkdir", "-p", "/run/haproxy"])
    return _start(box, "haproxy", ["/usr/sbin/haproxy", "-db", "-f", "/etc/haproxy/haproxy.cfg"],
                  "/var/log/haproxy.log", "/var/log/haproxy.log")


def start_openssl_www(box, cert, files):
    """`openssl s_server -WWW` on port 443, serving files from a directory
    of the world's work directory: the smallest of web servers, as embedded
    hosts have them. It answers HTTP/1.0 ("HTTP/1.0 200 ok", no length) and
    ends every body by closing the connection. files: {name: bytes}."""
    root = box.workdir / "openssl-www"
    root.mkdir(exist_ok=True)
    for name, data in files.items():
        (root / name.lstrip("/")).write_bytes(data)
    return _start(box, "openssl-www",
                  ["openssl", "s_server", "-WWW", "-quiet", "-accept", str(PORT),
                   "-cert", cert.cert, "-key", cert.key],
                  "/dev/null", "/dev/null", cwd=root)


def _prepare(box, files):
    """Private /var and /run for the server, and the document root's files."""
    mounts = [point for point, _, _ in box.mounts()]
    if not _overlaid(box, "/var"):
        # A host's /run/lock is a mount of its own, which an overlay of /run
        # would leave shared; apache keeps its lock directory there.
        box.overlay("/var", "/run", *(["/run/lock"] if "/run/lock" in mounts else []))
    for name, data in files.items():
        box.write(f"{DOCROOT}/{name.lstrip('/')}", data, mode=0o644)


def _overlaid(box, path):
    return (path, "overlay", "halvorpin-overlay") in box.mounts()


def _run(box, cmd, ok=(0,)):
    result = box.run(cmd)
    if result.returncode not in ok:
        raise RuntimeError(f"{cmd[0]} failed in the world: {result!r}")
    return result


def _start(box, name, cmd, access_log, error_log, cwd="/"):
    console = box.workdir / f"{name}.console"
    with open(console, "wb") as out:
        proc = box.popen(cmd, stdout=out, stderr=out, cwd=cwd)
    server = WebServer(box, name, proc, access_log, error_log, console)
    # Ready once a TLS handshake on port 443 completes.
    probe = ["openssl", "s_client", "-connect", f"127.0.0.1:{PORT}", "-brief"]
    deadline = time.monotonic() + 30
    while True:
        result = box.run(probe, input=b"", timeout=10)
        if result.returncode == 0:
            return server
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"{name} did not come up (status {proc.poll()}): "
                               f"{result!r}\n{server.describe()}")
        time.sleep(0.05)
