#!/usr/bin/python3
"""Local servers for the network tests, on 127.0.0.1 only.

Modes: http, https (certificate made with openssl in --dir), gopher, ftp.
Prints "PORT <n>" once listening; ends when stdin closes (the test process
went away), on SIGTERM, or after --lifetime seconds at the latest.

HTTP paths:
  /files/<name>                  the file <name> of --root
  /auth/<user>/<password>/<name> 401 without those Basic credentials
  /status/<code>                 that status with the body "body of <code>"
  /stall                         headers, a few bytes, then silence
  /trickle                       one body byte every 0.9 s, never ending
  /endless                       a chunked body that never ends
  /redirect/<path>               302 to /<path>; /loop redirects to itself
  anything with PUT/POST         body stored as --root/put/<last segment>, 201
With --proxy-auth user:password, requests with an absolute URL (proxy form)
get 407 until they carry those proxy credentials; then they are served as
above. Every request is logged to --log as "METHOD TARGET".
"""
import argparse
import base64
import http.server
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mode", required=True)
    p.add_argument("--root", required=True)
    p.add_argument("--dir", default=None)
    p.add_argument("--log", default=None)
    p.add_argument("--proxy-auth", default=None)
    p.add_argument("--user", default=None)
    p.add_argument("--lifetime", type=float, default=60.0)
    a = p.parse_args()

    def die(*_):
        os._exit(0)

    signal.signal(signal.SIGTERM, die)
    threading.Timer(a.lifetime, die).start()

    def watch_stdin():
        try:
            sys.stdin.buffer.read()
        finally:
            die()

    threading.Thread(target=watch_stdin, daemon=True).start()

    if a.mode in ("http", "https"):
        serve_http(a)
    elif a.mode == "gopher":
        serve_gopher(a)
    elif a.mode == "ftp":
        serve_ftp(a)
    else:
        sys.exit("unknown mode")


def announce(port):
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()


def log_line(a, text):
    if a.log:
        with open(a.log, "a") as f:
            f.write(text + "\n")


def serve_http(a):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, code, body=b"", headers=()):
            self.send_response(code)
            for k, v in headers:
                self.send_header(k, v)
            # A connection that ends after this answer (an HTTP/1.0 request)
            # says so; otherwise the client may send its next request on a
            # socket that is being closed and see it reset.
            if self.close_connection:
                self.send_header("Connection", "close")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def basic(self, header):
            value = self.headers.get(header, "")
            if not value.startswith("Basic "):
                return None
            try:
                return base64.b64decode(value[6:]).decode("utf-8")
            except Exception:
                return None

        def handle_any(self):
            log_line(a, "%s %s" % (self.command, self.path))
            length = int(self.headers.get("Content-Length", "0") or 0)
            body = self.rfile.read(length) if length else b""
            target = self.path
            if target.startswith("http://") or target.startswith("https://"):
                if a.proxy_auth and self.basic("Proxy-Authorization") != a.proxy_auth:
                    self.reply(407, b"proxy credentials needed",
                               [("Proxy-Authenticate", 'Basic realm="proxy"')])
                    return
                target = urllib.parse.urlsplit(target).path or "/"
            path = urllib.parse.unquote(target.split("?", 1)[0])
            parts = path.strip("/").split("/")
            if self.command in ("PUT", "POST"):
                os.makedirs(os.path.join(a.root, "put"), exist_ok=True)
                name = parts[-1] or "index"
                with open(os.path.join(a.root, "put", name), "wb") as f:
                    f.write(body)
                self.reply(201, b"stored %d" % len(body))
                return
            if parts[0] == "status" and len(parts) > 1:
                code = int(parts[1])
                self.reply(code, b"body of %d" % code)
                return
            if parts[0] == "redirect":
                self.reply(302, b"", [("Location", "/" + "/".join(parts[1:]))])
                return
            if parts[0] == "loop":
                self.reply(302, b"", [("Location", "/loop")])
                return
            if parts[0] == "stall":
                self.send_response(200)
                self.send_header("Content-Length", "100000")
                self.end_headers()
                self.wfile.write(b"partial")
                self.wfile.flush()
                time.sleep(30)
                return
            if parts[0] == "trickle":
                # Just fast enough for a guard of 1 byte/s over a minute.
                self.send_response(200)
                self.send_header("Content-Length", "1000000")
                self.end_headers()
                try:
                    while True:
                        self.wfile.write(b"x")
                        self.wfile.flush()
                        time.sleep(0.9)
                except OSError:
                    return
            if parts[0] == "endless":
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                chunk = b"%x\r\n" % 65536 + b"<" * 65536 + b"\r\n"
                try:
                    while True:
                        self.wfile.write(chunk)
                except OSError:
                    return
            if parts[0] == "auth" and len(parts) >= 4:
                if self.basic("Authorization") != parts[1] + ":" + parts[2]:
                    self.reply(401, b"credentials needed",
                               [("WWW-Authenticate", 'Basic realm="test"')])
                    return
                parts = ["files"] + parts[3:]
            if parts[0] == "files" and len(parts) > 1:
                full = os.path.join(a.root, *parts[1:])
                if os.path.isfile(full):
                    with open(full, "rb") as f:
                        self.reply(200, f.read())
                    return
            self.reply(404, b"not found")

        do_GET = do_PUT = do_POST = do_HEAD = do_DELETE = do_MKCOL = handle_any

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True

    server = Server(("127.0.0.1", 0), Handler)
    if a.mode == "https":
        cert = os.path.join(a.dir, "cert.pem")
        key = os.path.join(a.dir, "key.pem")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
             "-days", "2", "-subj", "/CN=127.0.0.1",
             "-addext", "subjectAltName=IP:127.0.0.1"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    announce(server.server_address[1])
    server.serve_forever()


def serve_gopher(a):
    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            selector = self.rfile.readline().decode("utf-8").rstrip("\r\n")
            log_line(a, "GOPHER %s" % selector)
            full = os.path.join(a.root, selector.lstrip("/"))
            if os.path.isfile(full):
                with open(full, "rb") as f:
                    self.wfile.write(f.read())
            else:
                self.wfile.write(b"3not found\terror\terror\t0\r\n.\r\n")

    class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", 0), Handler)
    announce(server.server_address[1])
    server.serve_forever()


def serve_ftp(a):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    import logging
    import warnings
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore")

    authorizer = DummyAuthorizer()
    if a.user:
        name, password = a.user.split(":", 1)
        authorizer.add_user(name, password, a.root, perm="elradfmwMT")
    else:
        authorizer.add_anonymous(a.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        auth_failed_timeout = 0.05

        def on_login(self, username):
            log_line(a, "LOGIN %s" % username)

        def on_connect(self):
            log_line(a, "CONNECT")

    Handler.authorizer = authorizer
    Handler.permit_foreign_addresses = True
    server = FTPServer(("127.0.0.1", 0), Handler)
    announce(server.address[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
