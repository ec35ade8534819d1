# Takes 320 MiB, gives it back, then becomes PROGRAM ARGS: the peak of this
# image stays in the figure getrusage gives the program.
# Usage: large_parent.py PROGRAM ARGS...
import os
import sys

held = bytearray(b'x' * (320 << 20))
del held
os.execv(sys.argv[1], sys.argv[1:])
