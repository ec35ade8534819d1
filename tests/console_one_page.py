# Runs ARGS with standard error a pipe of one page that is read only after the
# run has ended (or after 60 s, when it is killed); exits with the run's code.
# Usage: console_one_page.py PROGRAM ARGS...
import fcntl
import os
import subprocess
import sys

read, write = os.pipe()
fcntl.fcntl(write, fcntl.F_SETPIPE_SZ, 4096)
run = subprocess.Popen(sys.argv[1:], stderr=write)
try:
    code = run.wait(timeout=60)
except subprocess.TimeoutExpired:
    run.kill()
    code = run.wait()
sys.stderr.buffer.write(os.read(read, 8192))
sys.exit(code)
