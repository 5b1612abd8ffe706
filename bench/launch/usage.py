#!/usr/bin/env python3
# usage.py - runs a command with its output thrown away and prints what it
# cost: "CPU_SECONDS PEAK_KIB", the CPU time of the process itself (not of
# its children, read from /proc while it is a zombie) and the peak resident
# size of it and the children it waited for (wait4).
# Usage: usage.py COMMAND [ARGUMENT ...]
import os
import sys

pid = os.fork()
if pid == 0:
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.execvp(sys.argv[1], sys.argv[1:])
os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
with open("/proc/%d/stat" % pid) as f:
    fields = f.read().rsplit(")", 1)[1].split()
ticks = os.sysconf("SC_CLK_TCK")
cpu = (int(fields[11]) + int(fields[12])) / ticks  # utime, stime
_, status, usage = os.wait4(pid, 0)
print("%.3f %d" % (cpu, usage.ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status) if status else 0)
