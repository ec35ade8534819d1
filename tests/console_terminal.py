# Runs ARGS with standard error on a pseudo-terminal COLUMNS wide (standard
# input and output stay as given) and copies what the terminal showed to
# standard error; exits with the run's code. Killed after 60 s.
# Usage: console_terminal.py COLUMNS PROGRAM ARGS...
import fcntl
import os
import pty
import struct
import subprocess
import sys
import termios

primary, secondary = pty.openpty()
fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, int(sys.argv[1]), 0, 0))
run = subprocess.Popen(sys.argv[2:], stderr=secondary)
os.close(secondary)
shown = b""
while True:
    try:
        piece = os.read(primary, 65536)
    except OSError:
        break
    if not piece:
        break
    shown += piece
try:
    code = run.wait(timeout=60)
except subprocess.TimeoutExpired:
    run.kill()
    code = run.wait()
sys.stderr.buffer.write(shown)
sys.exit(code)
