# test_placement.py - processes placed for real: rfork and vrfork children
# with their output redirected through IO tuples, move, and rexec and
# execmove replacing a child interpreter; the library's refusals.
import errno
import os
import sys
import unittest

import vorn
import vorntest
from vorntest import PY2, in_child, wait_status

WRITE = os.O_WRONLY | os.O_CREAT | os.O_TRUNC


class FreshStrings(tuple):
    """A tuple whose indexing makes a new string on every access."""

    def __getitem__(self, i):
        return ''.join(list(tuple.__getitem__(self, i)))


class Rfork(vorntest.ClusterTest):
    def read(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def test_child_output_to_file(self):
        out = self.path('out')
        go_r, go_w = os.pipe()
        sys.stdout.flush()
        pid = vorn.rfork(2, io=[(1, vorn.IO_FILE, 0, (WRITE, 0o640, 0, out))])
        if pid == 0:
            def child():
                os.close(go_w)
                print('child on node %d' % vorn.currnode())
                sys.stdout.flush()
                os.read(go_r, 1)
            vorntest.run_child(child)
        os.close(go_r)
        self.children.append(pid)
        self.assertIs(type(pid), int)
        self.assertTrue(pid > 0)
        self.assertEqual(vorn.proclist(2), [(pid, 2)])
        self.assertEqual(vorn.pidnode(pid), 2)
        self.assertEqual(vorn.currnode(), -1)
        os.close(go_w)
        self.assertEqual(wait_status(pid), 0)
        self.children.remove(pid)
        self.assertEqual(self.read('out'), 'child on node 2\n')
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o640)
        self.assertEqual(self.journal('_vorn_rfork_io')[-1][3:], ['2', '6', '0'])

    def test_records_in_order(self):
        # stdin from a file, stdout at an offset into an existing file,
        # stderr appended; the flags word is passed through.
        with open(self.path('in'), 'w') as f:
            f.write('input text')
        with open(self.path('out'), 'w') as f:
            f.write('0123456789')
        with open(self.path('err'), 'w') as f:
            f.write('old\n')
        io = [(0, vorn.IO_FILE, 0, (os.O_RDONLY, 0, 6, self.path('in'))),
              (1, vorn.IO_FILE, 0, (os.O_WRONLY, 0, 3, self.path('out'))),
              (2, vorn.IO_FILE, 0, (os.O_WRONLY | os.O_APPEND, 0, 0, self.path('err')))]
        sys.stdout.flush()
        sys.stderr.flush()
        pid = vorn.rfork(node=6, io=io, flags=vorn.DUMP_ALL)
        if pid == 0:
            def child():
                os.write(1, os.read(0, 100))
                os.write(2, b'new\n')
            vorntest.run_child(child)
        self.assertEqual(wait_status(pid), 0)
        self.assertEqual(self.read('out'), '012text789')
        self.assertEqual(self.read('err'), 'old\nnew\n')
        self.assertEqual(self.journal('_vorn_rfork_io')[-1][3:], ['6', '7', '0'])

    def test_failures(self):
        self.assertRaisesMsg(ValueError, "invalid node", vorn.rfork, 8)
        self.fault('_vorn_rfork_io', 3, 'EIO', 1)
        self.assertOSError(errno.EIO, vorn.rfork, 3)
        self.fault('_vorn_rfork_io', 'any', 'EINVAL', 1)
        self.assertRaisesMsg(ValueError, "invalid node", vorn.rfork, 3)
        vorn.nodehalt(4)
        self.assertOSError(errno.EHOSTDOWN, vorn.rfork, 4)
        missing = self.path('no/such/dir')
        self.assertOSError(errno.ENOENT, vorn.rfork, 1,
                           [(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, missing))])
        # A socket tuple names no port: nothing listens on port 0.
        self.assertOSError(errno.ECONNREFUSED, vorn.rfork, 1, (1, vorn.IO_SOCKET, 1, '127.0.0.1'))
        self.assertEqual([r[5] for r in self.journal('_vorn_rfork_io')],
                         ['EINVAL', 'EIO', 'EINVAL', 'EHOSTDOWN', 'ENOENT', 'ECONNREFUSED'])
        self.assertEqual(vorn.proclist(1), [])


# A threaded program forks children that leave through the interpreter's
# normal exit; each child's exit status is printed by the parent.
THREADED_FORK = r"""
import os, sys, threading, time, vorn
ev = threading.Event()
t = threading.Thread(target=ev.wait)
t.start()
parent = os.getpid()
%s
if os.getpid() != parent:
    sys.exit(3)
statuses = []
for pid in pids:
    deadline = time.time() + 10
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            statuses.append(os.WEXITSTATUS(status))
            break
        if time.time() > deadline:
            statuses.append('hung')
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            break
        time.sleep(0.02)
ev.set()
print(statuses)
"""


class ThreadedFork(vorntest.ClusterTest):
    def test_children_exit_normally(self):
        # The children hold only the calling thread; the interpreter must
        # know that, or its exit waits for threads that are not there.
        for code, expected in [
                ('pids = [vorn.rfork(2)]', '[3]\n'),
                ('vorn.vrfork([4, 5])\npids = [p for n in (4, 5) for p, _ in vorn.proclist(n)]',
                 '[3, 3]\n')]:
            self.assertEqual(vorntest.run([sys.executable, '-c', THREADED_FORK % code]),
                             (0, expected, ''))


class Move(vorntest.ClusterTest):
    def test_move(self):
        out = self.path('out')

        def body():
            if vorn.move(3) is not None:
                return 10
            if vorn.currnode() != 3:
                return 11
            if vorn.move(5, io=[]) is not None or vorn.currnode() != 5:
                return 12
            vorn.move(1, [(1, vorn.IO_FILE, 0, (WRITE, 0o600, 0, out))], vorn.DUMP_LIBS)
            print('moved to %d' % vorn.currnode())
            sys.stdout.flush()
            return 0
        sys.stdout.flush()
        self.assertEqual(in_child(body), 0)
        with open(out) as f:
            self.assertEqual(f.read(), 'moved to 1\n')
        self.assertEqual([r[3:] for r in self.journal('_vorn_move_io')],
                         [['3', '6', '0'], ['5', '6', '0'], ['1', '1', '0']])
        self.assertEqual(vorn.currnode(), -1)

    # Records may name descriptors that the library itself holds open.
    def test_records_over_library_descriptors(self):
        # Records may name any descriptor, also ones the library itself
        # had open: each ends as its record says, and the library goes on.
        fds = range(3, 20)
        null = [(fd, vorn.IO_FILE, 0, (os.O_RDONLY, 0, 0, '/dev/null')) for fd in fds]

        def body():
            vorn.numnodes()
            vorn.move(4, null)
            if [os.readlink('/proc/self/fd/%d' % fd) for fd in fds] != ['/dev/null'] * len(fds):
                return 13
            if vorn.currnode() != 4 or vorn.nodestatus(4) != vorn.node_up:
                return 14
            return 0
        self.assertEqual(in_child(body), 0)

    def test_failures(self):
        self.assertRaisesMsg(ValueError, "invalid node", vorn.move, 8)
        self.assertRaisesMsg(ValueError, "invalid node", vorn.move, -2)
        self.fault('_vorn_move_io', 'any', 'EIO', 1)
        self.assertOSError(errno.EIO, vorn.move, 2)
        vorn.nodepwroff(2)
        self.assertOSError(errno.EHOSTDOWN, vorn.move, 2)
        self.assertEqual(vorn.currnode(), -1)


class Vrfork(vorntest.ClusterTest):
    def test_children_on_nodes(self):
        out = self.path('out')
        go_r, go_w = os.pipe()
        parent = os.getpid()
        nodes = [1, 3, 5]
        io = (1, vorn.IO_FILE, 0, (os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644, 0, out))
        sys.stdout.flush()
        result = vorn.vrfork(nodes, io)
        if os.getpid() != parent:
            def child():
                os.close(go_w)
                os.write(1, ('%d\n' % vorn.currnode()).encode('ascii'))
                os.read(go_r, 1)
                return 0 if result is None else 9
            vorntest.run_child(child)
        os.close(go_r)
        self.assertIsNone(result)
        pids = []
        for node in nodes:
            procs = vorn.proclist(node)
            self.assertEqual(len(procs), 1, node)
            self.assertEqual(procs[0][1], node)
            pids.append(procs[0][0])
        self.children.extend(pids)
        self.assertEqual(vorn.proclist(2), [])
        os.close(go_w)
        self.assertEqual([wait_status(pid) for pid in pids], [0, 0, 0])
        self.children = []
        with open(out) as f:
            self.assertEqual(sorted(f.read().split()), ['1', '3', '5'])
        self.assertEqual(self.journal('_vorn_vrfork_io')[-1][4:], ['1,3,5', '0'])

    def test_empty_and_failures(self):
        self.assertIsNone(vorn.vrfork([]))
        self.assertEqual(self.journal('_vorn_vrfork_io')[-1][5], '0')
        self.assertRaisesMsg(ValueError, "invalid node", vorn.vrfork, [1, 8])
        self.fault('_vorn_vrfork_io', 'any', 'EIO', 1)
        self.assertOSError(errno.EIO, vorn.vrfork, [1, 2])
        vorn.nodehalt(2)
        self.assertOSError(errno.EHOSTDOWN, vorn.vrfork, nodes=[1, 2])
        self.assertEqual(vorn.proclist(1), [])


class Exec(vorntest.ClusterTest):
    def report_node(self, call, node):
        code = 'import vorn, sys; sys.exit(vorn.currnode() + 10)'
        return in_child(lambda: call(node, sys.executable, [sys.executable, '-c', code]) or 99)

    def test_replaces_child_interpreter(self):
        self.assertEqual(self.report_node(vorn.rexec, 4), 14)
        self.assertEqual(self.report_node(vorn.execmove, 5), 15)
        self.assertEqual(self.journal('vorn_rexec_io')[-1][3:], ['4', sys.executable, '0'])
        self.assertEqual(self.journal('vorn_execmove_io')[-1][3:], ['5', sys.executable, '0'])

    def test_argv_envp_io(self):
        for call, node in [(vorn.rexec, 2), (vorn.execmove, 6)]:
            out = self.path('out-%d' % node)
            script = 'echo "$A|$0|$1"; env'
            env = {'A': 'x=y', 'B=C': '1', 'EMPTY': '', 'PATH': '/usr/bin:/bin'}
            io = [(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, out))]
            self.assertEqual(in_child(lambda: call(node, '/bin/sh',
                                                   ('sh', '-c', script, 'zero', 'one'),
                                                   env, io)), 0)
            with open(out) as f:
                lines = f.read().splitlines()
            self.assertEqual(lines[0], 'x=y|zero|one')
            for entry in ('A=x=y', 'B=C=1', 'EMPTY='):
                self.assertIn(entry, lines[1:])
            self.assertFalse([l for l in lines if l.startswith('VORN_CLUSTER=')])

    def test_empty_environment(self):
        # An empty mapping is an environment with no entries, not the
        # caller's own (which an absent envp gives).
        for envp, expect_empty in [({}, True), (None, False)]:
            out = self.path('env')
            io = [(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, out))]
            args = (1, '/usr/bin/env', ['env'])
            if envp is None:
                call = lambda: vorn.execmove(*args, io=io)
            else:
                call = lambda: vorn.execmove(*args, envp=envp, io=io)
            self.assertEqual(in_child(call), 0)
            with open(out) as f:
                text = f.read()
            self.assertEqual(text == '', expect_empty, text)
            if not expect_empty:
                self.assertIn('VORN_CLUSTER=%s\n' % self.cluster, text)

    def test_argv_from_fresh_strings(self):
        # The vector must stay valid for strings that the sequence makes
        # on indexing.
        out = self.path('out')
        io = (1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, out))
        argv = FreshStrings(('echo', 'aaaa', 'bbbb', 'cccc', 'dddd'))
        self.assertEqual(in_child(lambda: vorn.rexec(3, '/bin/echo', argv, io=io)), 0)
        with open(out) as f:
            self.assertEqual(f.read(), 'aaaa bbbb cccc dddd\n')

    def test_failures_leave_descriptors(self):
        before = [os.fstat(fd) for fd in (0, 1, 2)]
        out = self.path('out')
        io = [(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, out))]
        for call in (vorn.rexec, vorn.execmove):
            self.assertRaisesMsg(ValueError, "invalid node", call, 8, '/bin/true', ['true'])
            self.assertOSError(errno.ENOENT, call, 1, self.path('missing'), ['x'], {}, io)
            self.assertOSError(errno.ENOENT, call, 1, '/bin/true', ['true'], {},
                               [(1, vorn.IO_FILE, 0, (os.O_RDONLY, 0, 0, self.path('none')))])
            self.fault(call.__name__ == 'rexec' and 'vorn_rexec_io' or 'vorn_execmove_io',
                       'any', 'EIO', 1)
            self.assertOSError(errno.EIO, call, 1, '/bin/true', ['true'])
        after = [os.fstat(fd) for fd in (0, 1, 2)]
        self.assertEqual([(s.st_dev, s.st_ino) for s in before],
                         [(s.st_dev, s.st_ino) for s in after])
        self.assertEqual(vorn.currnode(), -1)


    def test_mappings(self):
        # Every entry of a mapping is taken, whatever its keys() gives and
        # whatever its len() says.
        env = {'A': '1', 'B': '2', 'C': '3'}

        class TupleKeys(dict):
            def keys(self):
                return tuple(dict.keys(self))

        class IterKeys(dict):
            def keys(self):
                return iter(dict.keys(self))

        class ViewKeys(dict):
            def keys(self):
                return dict.viewkeys(self) if PY2 else dict.keys(self)

        class Short(dict):
            def __len__(self):
                return 1

        class Plain(object):
            """keys() and [] alone, as dict() reads a mapping."""

            def keys(self):
                return sorted(env)

            def __getitem__(self, key):
                return env[key]

        out = self.path('env')
        io = [(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, out))]
        for mapping in (TupleKeys(env), IterKeys(env), ViewKeys(env), Short(env), Plain()):
            self.assertEqual(in_child(lambda: vorn.execmove(1, '/usr/bin/env', ['env'],
                                                            mapping, io)), 0)
            with open(out) as f:
                self.assertEqual(sorted(f.read().split()), ['A=1', 'B=2', 'C=3'],
                                 type(mapping).__name__)


class HeldArguments(vorntest.ClusterTest):
    def test_keyword_dictionary_rebound(self):
        # Python 2 hands f(**d) the caller's own d: Python code that the
        # conversions run may rebind its entries and drop the last
        # references to arguments that the call still uses.
        out = self.path('out')

        def body():
            d = {}

            class Argv(list):
                def __getitem__(self, i):
                    d['envp'] = {}
                    return list.__getitem__(self, i)

            class Env(dict):
                def keys(self):
                    d['io'] = [(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, '/dev/null'))]
                    d['cmd'] = '/bin/false'
                    return dict.keys(self)

            d.update(node=2, cmd=''.join(['/bin/', 'sh']),
                     argv=Argv(['sh', '-c', 'echo "$A $0"', 'held']),
                     envp=Env(A='all'),
                     io=[(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, ''.join([out])))])
            vorn.rexec(**d)
        self.assertEqual(in_child(body), 0)
        with open(out) as f:
            self.assertEqual(f.read(), 'all held\n')
        self.assertEqual(self.journal('vorn_rexec_io')[-1][3:], ['2', '/bin/sh', '0'])


# A thread is half-way through importing a module when vorn.rfork is
# called; the child reports whether it sees the whole module.  With the
# import lock taken around the fork, rfork waits for the import to end; the
# import is let go once rfork returned, or after a bound.
IMPORT_DURING_FORK = r"""
import os, signal, sys, threading, vorn
signal.alarm(20)
sys.path.insert(0, sys.argv[1])
import gate
gate.started, gate.proceed = threading.Event(), threading.Event()
returned = threading.Event()

def release():
    returned.wait(1)
    gate.proceed.set()

threading.Thread(target=lambda: __import__('halfway')).start()
gate.started.wait(10)
threading.Thread(target=release).start()
pid = vorn.rfork(2)
if pid == 0:
    import halfway
    os._exit(0 if getattr(halfway, 'value', None) == 1 else 3)
returned.set()
print(os.WEXITSTATUS(os.waitpid(pid, 0)[1]))
"""

# Python 3 runs the os.register_at_fork hooks around every fork, failed
# ones included.
AT_FORK = r"""
import os, signal, vorn
signal.alarm(20)
calls = []
os.register_at_fork(before=lambda: calls.append('b'), after_in_parent=lambda: calls.append('p'),
                    after_in_child=lambda: calls.append('c'))
parent = os.getpid()
if vorn.rfork(2) == 0:
    os._exit(0 if calls == ['b', 'c'] else 3)
vorn.vrfork([3, 4])
if os.getpid() != parent:
    os._exit(0 if calls == ['b', 'p', 'b', 'c'] else 4)
try:
    vorn.rfork(99)
except ValueError:
    pass
print(calls, sorted(os.wait()[1] for _ in range(3)))
"""


class ForkLikeOsFork(vorntest.ClusterTest):
    @unittest.skipUnless(PY2, 'Python 3 imports take a lock per module')
    def test_import_lock(self):
        with open(self.path('gate.py'), 'w') as f:
            f.write('')
        with open(self.path('halfway.py'), 'w') as f:
            f.write('import gate\ngate.started.set()\ngate.proceed.wait()\nvalue = 1\n')
        self.assertEqual(vorntest.run([sys.executable, '-c', IMPORT_DURING_FORK, self.tmp]),
                         (0, '0\n', ''))

    @unittest.skipIf(PY2, 'Python 2 has no fork hooks')
    def test_fork_hooks(self):
        self.assertEqual(vorntest.run([sys.executable, '-c', AT_FORK]),
                         (0, "['b', 'p', 'b', 'p', 'b', 'p'] [0, 0, 0]\n", ''))


if __name__ == '__main__':
    unittest.main()
