# Runs ARGS with standard error a pipe, and reads that pipe only when it is
# full and then HOLD seconds have passed; exits with the run's code.
# Usage: console_read_late.py HOLD PROGRAM ARGS...
import array
import fcntl
import resource
import subprocess
import sys
import termios
import time

run = subprocess.Popen(sys.argv[2:], stderr=subprocess.PIPE)
size = fcntl.fcntl(run.stderr, fcntl.F_GETPIPE_SZ)
queued = array.array('i', [0])
deadline = time.monotonic() + 60
# Full once less than a page is free: writes go in whole pages, so the last
# one may hold less than its page.
while queued[0] + resource.getpagesize() <= size:
    if run.poll() is not None or time.monotonic() > deadline:
        sys.stderr.buffer.write(run.stderr.read())
        sys.exit('console_read_late.py: the console never filled')
    time.sleep(0.05)
    fcntl.ioctl(run.stderr, termios.FIONREAD, queued)
time.sleep(int(sys.argv[1]))
sys.stderr.buffer.write(run.stderr.read())
sys.exit(run.wait())
