# demo.py - a short tour of the vorn module, under Python 3 or Python 2:
# the node table, a child forked onto a node with its output sent to a
# file, and the process list.
from __future__ import print_function

import os
import sys

import vorn

print("Python %d.%d: %d slave nodes; this process runs on node %d"
      % (sys.version_info[0], sys.version_info[1], vorn.numnodes(), vorn.currnode()))
print("%4s  %-11s  %5s  %s" % ("node", "state", "owner", "address"))
for node, status, mode, user, group, addr in vorn.nodelist():
    print("%4d  %-11s  %5d  %s" % (node, vorn.state_strings[status], user, addr))

out = os.path.join(os.environ.get("VORN_DEMO_WORK", "/tmp"), "python-child.out")
io = [(1, vorn.IO_FILE, 0, (os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, 0, out))]
go_r, go_w = os.pipe()
sys.stdout.flush()
pid = vorn.rfork(3, io=io)
if pid == 0:
    # The child: its standard output is the file now.
    os.close(go_w)
    print("hello from pid %d on node %d" % (os.getpid(), vorn.currnode()))
    sys.stdout.flush()
    os.read(go_r, 1)  # stay until the parent has looked
    os._exit(0)

os.close(go_r)
print()
print("rfork(3, io=[file record for fd 1]) made pid %d, on node %d" % (pid, vorn.pidnode(pid)))
print("proclist(3) while it runs: %r" % vorn.proclist(3))
os.close(go_w)
os.waitpid(pid, 0)
print("proclist(3) after it ended: %r" % vorn.proclist(3))
print("what the child wrote to %s:" % out)
with open(out) as f:
    sys.stdout.write(f.read())
