#!/usr/bin/env python3
"""Runs the token host for a browser and records every frame it writes.

Usage: frame_recorder.py LOG HOST [ARGS...]

The browser starts this program in place of the host. The host shares our
standard input with the browser; its standard output passes through us frame
by frame, so the test can check sizes and contents of what the browser got.
LOG receives one JSON object per line: the arguments the browser passed, each
frame (length and envelope members, or why it is not a valid frame), and how
the host ended.
"""
import json
import os
import signal
import subprocess
import sys

MAX_FRAME_READ = 64 * 1024 * 1024  # far above any legal frame; stops a runaway


def read_exactly(stream, count):
    chunks = []
    while count > 0:
        chunk = stream.read(count)
        if not chunk:
            break
        chunks.append(chunk)
        count -= len(chunk)
    return b"".join(chunks)


def describe_frame(body):
    entry = {"length": len(body)}
    try:
        envelope = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        entry["error"] = "body is not JSON: %s" % error
        return entry
    if not isinstance(envelope, dict):
        entry["error"] = "body is not a JSON object"
        return entry
    entry["cmd"] = envelope.get("cmd")
    entry["tabID"] = envelope.get("tabID")
    entry["lastData"] = envelope.get("lastData")
    text = envelope.get("text")
    entry["textType"] = type(text).__name__
    entry["textLength"] = len(text) if isinstance(text, str) else None
    entry["endsWithNewline"] = body.endswith(b"\n")
    return entry


def relay(host_out, out, log):
    while True:
        header = read_exactly(host_out, 4)
        if not header:
            return
        if len(header) < 4:
            log({"event": "frame", "error": "output ended inside a length prefix", "bytes": header.hex()})
            out.write(header)
            return
        length = int.from_bytes(header, "little")
        body = read_exactly(host_out, min(length, MAX_FRAME_READ))
        entry = describe_frame(body) if len(body) == length else {
            "length": length, "error": "output ended after %d of %d body bytes" % (len(body), length)}
        entry["event"] = "frame"
        log(entry)
        out.write(header + body)
        out.flush()
        if len(body) < length:
            return


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    log_path, host_command = sys.argv[1], sys.argv[2:]
    with open(log_path, "a", buffering=1) as log_file:
        def log(entry):
            log_file.write(json.dumps(entry) + "\n")

        log({"event": "start", "argv": host_command[1:], "pid": os.getpid()})
        host = subprocess.Popen(host_command, stdout=subprocess.PIPE)
        # The browser ends a host it no longer needs with SIGTERM; pass it on.
        signal.signal(signal.SIGTERM, lambda *_: host.terminate())
        relay(host.stdout, sys.stdout.buffer, log)
        status = host.wait()
        log({"event": "exit", "status": status})
        return 0 if status >= 0 else 1


if __name__ == "__main__":
    sys.exit(main())
