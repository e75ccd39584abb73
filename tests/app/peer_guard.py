"""Runs a test peer for as long as the test that started it lives.

Usage: peer_guard.py PEER.py [ARGS...]

The peer inherits standard output (where it announces its port). The guard
waits for its own standard input to close, which happens when the test
closes its end or dies, and then ends the peer, so that no peer outlives a
crashed test or keeps the test runner's output open.
"""

import subprocess
import sys


def main():
    peer = subprocess.Popen([sys.executable] + sys.argv[1:], stdin=subprocess.DEVNULL)
    try:
        sys.stdin.buffer.read()
    finally:
        peer.kill()
        peer.wait()


if __name__ == "__main__":
    main()
