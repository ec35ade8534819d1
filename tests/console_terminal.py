# Runs ARGS with standard error on a pseudo-terminal COLUMNS wide (0: one
# that tells no width), copies what it showed to standard error and exits
# with the run's code. Usage: console_terminal.py COLUMNS PROGRAM ARGS...
import fcntl, os, pty, struct, subprocess, sys, termios

primary, secondary = pty.openpty()
fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, int(sys.argv[1]), 0, 0))
run = subprocess.Popen(sys.argv[2:], stderr=secondary)
os.close(secondary)
shown = b""
try:
    # Ends with EIO once the run has closed the terminal.
    while piece := os.read(primary, 65536):
        shown += piece
except OSError:
    pass
sys.stderr.buffer.write(shown)
sys.exit(run.wait())
