#!/usr/bin/env python3
"""A small time server over TLS for the tests, on loopback only.

Usage: https_server.py READY_FILE LISTENER...
LISTENER is ADDRESS:PORT:MODE[:CERTIFICATE:KEY]. MODE is
  time   TLS; the time body ("<seconds><3 digits of ms>") stamped right before
         the write, and a banner for /ad/; time+N sends the time N seconds ahead
  slow   TLS, its handshake begun 2 s after the connection is accepted; the
         fixed body 1700000000000
  plain  plain HTTP on that port, as time
READY_FILE is written once every listener is bound.
"""
import socket
import ssl
import sys
import threading
import time

BANNER = b"http://q.example/s\tsecure news"


def body(path, mode):
    if path.startswith(b"/ad/"):
        return BANNER
    if mode == "slow":
        return b"1700000000000"
    now = time.time() + (int(mode[5:]) if mode.startswith("time+") else 0)
    return b"%d%03d" % (int(now), int(now * 1000) % 1000)


def serve(connection, mode, context):
    try:
        connection.settimeout(10)
        if mode == "slow":
            time.sleep(2)
        if context is not None:
            connection = context.wrap_socket(connection, server_side=True)
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = connection.recv(4096)
            if not chunk:
                return
            request += chunk
        reply = body(request.split(b" ")[1], mode)
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                           % len(reply) + reply)
    except (OSError, ssl.SSLError, IndexError):
        pass  # a client that gives up or refuses the certificate
    finally:
        connection.close()


def listen(listener, mode, context):
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, mode, context), daemon=True).start()


def main():
    threads = []
    for spec in sys.argv[2:]:
        address, port, mode, *pair = spec.split(":")
        context = None
        if mode != "plain":
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.minimum_version = ssl.TLSVersion.TLSv1_2
            context.load_cert_chain(pair[0], pair[1])
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, int(port)))
        listener.listen(32)
        threads.append(threading.Thread(target=listen, args=(listener, mode, context), daemon=True))
    for thread in threads:
        thread.start()
    with open(sys.argv[1], "w") as ready:
        ready.write("ready\n")
    threading.Event().wait()


if __name__ == "__main__":
    main()
