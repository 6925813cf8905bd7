"""Sends requests the server refuses before reading them whole, the way
Python's http.client sends them (the whole body first, then the reply is
read), and prints one line per case: name, status, then the reply body.
A client that loses the reply to a reset prints "error" and the exception.

Usage: refused_requests.py PORT
"""
import http.client
import sys

PORT = int(sys.argv[1])
UPLOAD_LIMIT = 52428800


def chunks(total, size=1 << 20):
    sent = 0
    while sent < total:
        n = min(size, total - sent)
        sent += n
        yield b"c" * n


def case(name, method, path, body=None, headers=None, chunked=False):
    connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
    try:
        connection.request(method, path, body=body, headers=headers or {}, encode_chunked=chunked)
        reply = connection.getresponse()
        print(name, reply.status, reply.read().decode("utf-8", "replace"), flush=True)
    except Exception as error:  # the point of the test: which error, if any
        print(name, "error", type(error).__name__, flush=True)
    finally:
        connection.close()


case("upload-limit", "POST", "/v1/mivrel/m1/files", body=b"u" * (UPLOAD_LIMIT + 1),
     headers={"Content-Type": "text/plain"})
case("body-limit", "POST", "/x", body=b"b" * (64 * 1024 * 1024 + 1))
case("chunked", "POST", "/x", body=chunks(8 * 1024 * 1024), chunked=True)
case("bad-length", "POST", "/x", body=b"l" * (4 * 1024 * 1024), headers={"Content-Length": "4194304x"})
