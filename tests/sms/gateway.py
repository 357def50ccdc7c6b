#!/usr/bin/env python3
"""A small HTTPS gateway for the SMS and self-update tests, on 127.0.0.1 only.

Answers GET /connect, POST /POSTSMSDATA and GET of files under --files, with bodies and
statuses chosen on the command line. The self-update's version files and program files lie
there under their paths, "$NAME$GENERELLVERSION$CLINIC$" and "$NAME$GENERELLUPDATE$CLINIC$".
Every request is appended to <record>/requests.tsv as one tab-separated line (method, path,
user agent, authorization, content type, accept, cookie, body file); posted bodies are kept as
<record>/post_<n>.bin. The most uploads it ever held at once is kept in <record>/max_posts.
It can bind a given port (to come back where it was), answer uploads late, or take the first
uploads and never answer them, as a gateway that hangs.
"""
import argparse
import http.server
import os
import ssl
import threading
import time
import urllib.parse

MARKER = "Authentication is required!"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--record", required=True)
    ap.add_argument("--connect-body", default="<html>" + MARKER + "</html>")
    ap.add_argument("--connect-status", type=int, default=200)
    ap.add_argument("--post-body", default="OK " + MARKER)
    ap.add_argument("--post-status", type=int, default=200)
    ap.add_argument("--files", default="")
    ap.add_argument("--get-status", type=int, default=0)
    ap.add_argument("--auth", default="", help="expected Authorization header, else 401")
    ap.add_argument("--set-cookie", default="")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--post-delay", type=float, default=0, help="seconds before each upload's answer")
    ap.add_argument("--stall-posts", type=int, default=0, help="the first N uploads are never answered")
    args = ap.parse_args()

    lock = threading.Lock()
    counter = [0]
    in_flight = [0, 0]  # now, most ever

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *a):
            pass

        def record(self, body_file):
            h = self.headers
            fields = [self.command, self.path, h.get("User-Agent", ""),
                      h.get("Authorization", ""), h.get("Content-Type", ""),
                      h.get("Accept", ""), h.get("Cookie", ""), body_file]
            line = "\t".join(f.replace("\t", " ") for f in fields) + "\n"
            with lock:
                with open(os.path.join(args.record, "requests.tsv"), "a") as f:
                    f.write(line)

        def reply(self, status, body, extra=()):
            data = body.encode("latin-1") if isinstance(body, str) else body
            self.send_response(status)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(data)))
            for k, v in extra:
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(data)

        def authorized(self):
            if args.auth and self.headers.get("Authorization", "") != args.auth:
                self.reply(401, "no", [("WWW-Authenticate", 'Basic realm="gw"')])
                return False
            return True

        def do_GET(self):
            self.record("")
            if not self.authorized():
                return
            if self.path == "/connect":
                extra = [("Set-Cookie", args.set_cookie)] if args.set_cookie else []
                self.reply(args.connect_status, args.connect_body, extra)
                return
            if args.get_status:
                self.reply(args.get_status, "refused")
                return
            name = os.path.join(args.files, urllib.parse.unquote(self.path).lstrip("/"))
            if args.files and os.path.isfile(name):
                with open(name, "rb") as f:
                    self.reply(200, f.read())
            else:
                self.reply(404, "not found")

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            with lock:
                counter[0] += 1
                n = counter[0]
                in_flight[0] += 1
                if in_flight[0] > in_flight[1]:
                    in_flight[1] = in_flight[0]
                    with open(os.path.join(args.record, "max_posts"), "w") as f:
                        f.write(str(in_flight[1]))
            body_file = os.path.join(args.record, "post_%d.bin" % n)
            with open(body_file, "wb") as f:
                f.write(body)
            self.record(body_file)
            if n <= args.stall_posts:
                # Taken and never answered: the client's time-out has to end it.
                while self.rfile.read(1):
                    pass
            elif args.post_delay:
                time.sleep(args.post_delay)
            # Counted off before the answer: a client's next upload can only follow it.
            with lock:
                in_flight[0] -= 1
            if n <= args.stall_posts or not self.authorized():
                return
            if self.path == "/POSTSMSDATA":
                self.reply(args.post_status, args.post_body)
            else:
                self.reply(404, "not found")

    http.server.ThreadingHTTPServer.request_queue_size = 128  # fifty dispatches at once
    http.server.ThreadingHTTPServer.allow_reuse_address = True  # back on the port it had
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.handle_error = lambda request, address: None  # refused handshakes are expected
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    # The handshake happens in the request's own thread, so a client that gives up on the
    # certificate never stalls the others.
    server.socket = ctx.wrap_socket(server.socket, server_side=True,
                                    do_handshake_on_connect=False)
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
