# test_queries.py - node queries, node control, permissions, version,
# notifier, file cache, dumps and the library list against a fresh
# emulated cluster, with vornemu faults for the library's failures.
import ctypes
import errno
import os
import select
import sys
import unittest

import vorn
import vorntest
from vorntest import PY2

if PY2:
    FILE_TYPE = file
else:
    import io
    import pathlib
    FILE_TYPE = io.TextIOWrapper

WRITE = os.O_WRONLY | os.O_CREAT | os.O_TRUNC


def record_text(raw):
    """Bytes of a library record as the module gives them: a str of
    those bytes under Python 2, one character per byte under Python 3."""
    return raw if PY2 else raw.decode('latin-1')


class Queries(vorntest.ClusterTest):
    def test_plain_results(self):
        self.assertEqual(vorn.numnodes(), 8)
        self.assertEqual(vorn.currnode(), -1)
        for name, node in [('master', -1), ('0', 0), ('5', 5), ('.3', 3), ('n7', 7)]:
            self.assertEqual(vorn.getnodebyname(name), node, name)
        for name in ['bogus', '8', 'n', '', '-1']:
            self.assertRaisesMsg(ValueError, "invalid node name", vorn.getnodebyname, name)
        self.assertEqual(vorn.masteraddr(), '127.0.0.1')
        for node, addr in [(-1, '127.0.0.1'), (0, '127.1.0.1'), (5, '127.1.0.6'),
                           (7, '127.1.0.8')]:
            self.assertEqual(vorn.nodeaddr(node), addr)
        for ip, node in [('127.0.0.1', -1), ('127.1.0.1', 0), ('127.1.0.6', 5),
                         (' 127.1.0.8', 7)]:
            self.assertEqual(vorn.nodenumber(ip), node, ip)
        for ip in ['127.1.0.9', '10.0.0.1', '127.1.0.0']:
            self.assertRaisesMsg(ValueError, "no such node", vorn.nodenumber, ip)
        self.assertEqual(vorn.nodestatus(-1), vorn.node_up)
        self.assertEqual([vorn.nodestatus(n) for n in range(8)], [vorn.node_up] * 8)

    def test_invalid_ip_makes_no_call(self):
        # With a fault armed for one call, a refused text leaves it armed:
        # the next valid call takes it (the library then answers -3).
        self.fault('vorn_nodenumber', 'any', 'EIO', 1)
        for ip in ['127.1.0.1 ', '127.1.0.1.5', '127.1.0.256', '127.1.0', '', '-1.0.0.0']:
            self.assertRaisesMsg(ValueError, "invalid ip", vorn.nodenumber, ip)
        self.assertRaisesMsg(ValueError, "no such node", vorn.nodenumber, '127.1.0.1')
        self.assertEqual(vorn.nodenumber('127.1.0.1'), 0)

    def test_library_failures(self):
        # (library function, fault errno, call); EINVAL is ValueError
        # "invalid node", other errors OSError with the errno.
        calls = [
            ('vorn_nodestatus', lambda: vorn.nodestatus(1)),
            ('vorn_masteraddr', vorn.masteraddr),
            ('vorn_nodeaddr', lambda: vorn.nodeaddr(1)),
            ('vorn_nodeinfo', lambda: vorn.nodeinfo(1)),
            ('vorn_nodelist', vorn.nodelist),
            ('vorn_proclist', lambda: vorn.proclist(1)),
            ('vorn_chmod', lambda: vorn.chmod(1, 0o111)),
            ('vorn_chown', lambda: vorn.chown(1, 0)),
            ('vorn_chgrp', lambda: vorn.chgrp(1, 0)),
            ('vorn_access', lambda: vorn.access(1, vorn.X_OK)),
            ('vorn_nodechroot', lambda: vorn.nodechroot(1, '/')),
            ('vorn_nodereboot', lambda: vorn.nodereboot(1)),
            ('vorn_nodehalt', lambda: vorn.nodehalt(1)),
            ('vorn_nodepwroff', lambda: vorn.nodepwroff(1)),
            ('vorn_nodereboot_async', lambda: vorn.nodereboot_async(1)),
            ('vorn_nodehalt_async', lambda: vorn.nodehalt_async(1)),
            ('vorn_nodepwroff_async', lambda: vorn.nodepwroff_async(1)),
            ('vorn_nodesetstatus', lambda: vorn.nodesetstatus(1, 4)),
            ('vorn_nodecachepurgefail', lambda: vorn.nodecachepurgefail(1)),
            ('vorn_nodecachepurgeok', lambda: vorn.nodecachepurgeok(1)),
            ('vorn_version', vorn.vorn_version),
            ('vorn_notifier', vorn.notifier),
            ('vorn_libclear', vorn.libclear),
            ('vorn_libadd', lambda: vorn.libadd('libc.so.6')),
            ('vorn_libdel', lambda: vorn.libdel('libc.so.6')),
            ('vorn_liblist', vorn.liblist),
            ('vorn_requestfile', lambda: vorn.requestfile('/etc/hostname')),
            ('vorn_dump', lambda: vorn.dump(1, vorn.DUMP_ALL)),
            ('vorn_undump', lambda: vorn.undump(0)),
        ]
        for function, call in calls:
            for name, err in [('EIO', errno.EIO), ('EPERM', errno.EPERM),
                              ('EHOSTDOWN', errno.EHOSTDOWN)]:
                self.fault(function, 'any', name, 1)
                self.assertOSError(err, call)
            self.fault(function, 'any', 'EINVAL', 1)
            self.assertRaisesMsg(ValueError, "invalid node", call)
        self.assertEqual(vorn.access(1, vorn.X_OK), 1)

    def test_node_range(self):
        for call in [vorn.nodestatus, vorn.nodeaddr, vorn.nodeinfo, vorn.proclist,
                     vorn.nodereboot, vorn.nodehalt_async, vorn.nodecachepurgeok,
                     lambda n: vorn.chmod(n, 0o111), lambda n: vorn.access(n, 1),
                     lambda n: vorn.nodesetstatus(n, 4), lambda n: vorn.nodechroot(n, '/')]:
            for node in (8, -5, 1 << 30):
                self.assertRaisesMsg(ValueError, "invalid node", call, node)
        # Node control of the master is refused by the library.
        self.assertOSError(errno.EOPNOTSUPP, vorn.nodereboot, -1)
        self.assertOSError(errno.EOPNOTSUPP, vorn.chown, -1, 0)

    def test_argument_errors(self):
        T, V = TypeError, ValueError
        cases = [
            (vorn.numnodes, (1,), T, "function takes exactly 0 arguments (1 given)"),
            (vorn.nodestatus, (), T, "function takes exactly 1 argument (0 given)"),
            (vorn.nodestatus, ('1',), T, vorntest.NOT_INT),
            (vorn.nodeinfo, (1, 2), T, "function takes exactly 1 argument (2 given)"),
            (vorn.nodelist, (0,), T, "function takes exactly 0 arguments (1 given)"),
            (vorn.chmod, (1,), T, "function takes exactly 2 arguments (1 given)"),
            (vorn.nodechroot, ('/', 1), T, vorntest.NOT_INT),
        ]
        if PY2:
            cases += [
                (vorn.getnodebyname, ('a\0b',), T,
                 "argument 1 must be string without null bytes, not str"),
                (vorn.getnodebyname, (5,), T, "argument 1 must be string, not int"),
            ]
        else:
            path = "expected str, bytes or os.PathLike object, not int"
            cases += [
                (vorn.getnodebyname, ('a\0b',), V, "embedded null character"),
                (vorn.getnodebyname, (5,), T, "argument 1 must be str, not int"),
                (vorn.requestfile, (5,), T, path),
                (vorn.nodechroot, (1, 5), T, path),
                (vorn.libadd, ('a\0b',), V, "embedded null byte"),
            ]
        for fn, args, exc, msg in cases:
            self.assertRaisesMsg(exc, msg, fn, *args)
        self.assertRaises(OverflowError, vorn.nodestatus, 1 << 40)

    def test_records(self):
        self.assertEqual(vorn.nodeinfo(3), (3, vorn.node_up, 0o111, 0, 0, '127.1.0.4'))
        vorn.chmod(3, 0o751)
        vorn.chown(3, -1)
        vorn.chgrp(3, -(1 << 31))
        info = vorn.nodeinfo(3)
        self.assertEqual(info, (3, 4, 0o751, 4294967295, 2147483648, '127.1.0.4'))
        for value in info[:5]:
            self.assertIs(type(value), int)
        nodes = vorn.nodelist()
        self.assertEqual(len(nodes), 8)
        for i, row in enumerate(nodes):
            self.assertEqual(row, vorn.nodeinfo(i))
        rows = [r[2:] for r in self.journal() if r[2] in ('vorn_chmod', 'vorn_chown',
                                                          'vorn_chgrp')]
        self.assertEqual(rows, [['vorn_chmod', '3', '489', '0'], ['vorn_chown', '3', '-1', '0'],
                                ['vorn_chgrp', '3', '-2147483648', '0']])
        self.assertEqual(vorn.proclist(3), [])
        # The master's node number: unsigned in the Python 2 build, as it
        # always was; -1 under Python 3.
        self.assertEqual(vorn.nodeinfo(-1)[:2], (4294967295 if PY2 else -1, vorn.node_up))

    def test_pidnode(self):
        for pid in (0, 1 << 30, -7):
            self.assertRaisesMsg(IndexError, "No such process", vorn.pidnode, pid)
        self.fault('vorn_pidnode', 'any', 'EINVAL', 1)
        self.assertRaisesMsg(IndexError, "No such process", vorn.pidnode, os.getpid())


class NodeControl(vorntest.ClusterTest):
    def test_control_calls(self):
        # (call, node, journal function, journal argument, state afterwards)
        cases = [
            (vorn.nodereboot, 1, 'vorn_nodereboot', '-', vorn.node_up),
            (vorn.nodehalt, 1, 'vorn_nodehalt', '-', vorn.node_down),
            (vorn.nodepwroff, 2, 'vorn_nodepwroff', '-', vorn.node_down),
            (vorn.nodereboot_async, 3, 'vorn_nodereboot_async', '-', None),
            (vorn.nodehalt_async, 4, 'vorn_nodehalt_async', '-', None),
            (vorn.nodepwroff_async, 5, 'vorn_nodepwroff_async', '-', None),
            (vorn.nodecachepurgefail, 6, 'vorn_nodecachepurgefail', '-', vorn.node_up),
            (vorn.nodecachepurgeok, 6, 'vorn_nodecachepurgeok', '-', vorn.node_up),
        ]
        for call, node, function, arg, state in cases:
            self.assertIsNone(call(node))
            row = self.journal(function)[-1]
            self.assertEqual(row[3:], [str(node), arg, '0'])
            if state is not None:
                self.assertEqual(vorn.nodestatus(node), state, function)
        self.assertTrue(self.wait_until(lambda: vorn.nodestatus(3) == vorn.node_up))
        self.assertTrue(self.wait_until(lambda: vorn.nodestatus(4) == vorn.node_down))
        self.assertTrue(self.wait_until(lambda: vorn.nodestatus(5) == vorn.node_down))
        # Work on a node that is down.
        for call in (vorn.nodecachepurgeok, vorn.nodereboot, vorn.nodehalt_async):
            self.assertOSError(errno.EHOSTDOWN, call, 4)
        self.assertOSError(errno.EHOSTDOWN, vorn.nodechroot, 4, '/tmp')
        self.assertIsNone(vorn.nodechroot(7, '/tmp'))
        self.assertEqual(self.journal('vorn_nodechroot')[-1][3:], ['7', '/tmp', '0'])

    def test_nodesetstatus(self):
        for status in (5, -1, 1 << 24, vorn.node_reboot):
            self.assertRaisesMsg(ValueError, "invalid status", vorn.nodesetstatus, 1, status)
        self.assertEqual(self.journal('vorn_nodesetstatus'), [])
        for status in (0, 4, vorn.node_error, vorn.node_unavailable, vorn.node_boot):
            self.assertIsNone(vorn.nodesetstatus(1, status))
            self.assertEqual(vorn.nodestatus(1), status)
        self.assertEqual([r[4] for r in self.journal('vorn_nodesetstatus')],
                         ['0', '4', '2', '3', '1'])
        self.assertRaisesMsg(ValueError, "invalid node", vorn.nodesetstatus, 9, 4)


class Version(vorntest.ClusterTest):
    def test_shape(self):
        result = vorn.vorn_version()
        self.assertIs(type(result), tuple)
        self.assertEqual(len(result), 4)
        chars, code, value, text = result
        self.assertIs(type(chars), tuple)
        self.assertEqual(len(chars), 3)
        for c in chars:
            self.assertIs(type(c), str)
            self.assertEqual(len(c), 1)
        self.assertIs(type(code), int)
        self.assertTrue(0 <= code <= 255)
        self.assertIs(type(value), int)
        self.assertTrue(-(1 << 31) <= value < (1 << 31))
        self.assertIs(type(text), str)
        self.assertTrue(len(text) <= 23)
        self.assertNotIn('\0', text)

    def test_fields_of_the_record(self):
        # The library's own record, read through ctypes: the three version
        # bytes, the unsigned code, the signed value and the text, each
        # from its place.
        class Record(ctypes.Structure):
            _fields_ = [('version', ctypes.c_char * 3), ('code', ctypes.c_ubyte),
                        ('value', ctypes.c_int32), ('text', ctypes.c_char * 24)]
        lib = ctypes.CDLL('libvorn.so.2')
        record = Record()
        self.assertEqual(lib.vorn_version(ctypes.byref(record)), 0)
        raw = ctypes.string_at(ctypes.addressof(record), 32)
        expected = (tuple(record_text(raw[i:i + 1]) for i in range(3)), bytearray(raw)[3],
                    record.value, record_text(raw[8:32].split(b'\0')[0]))
        self.assertEqual(vorn.vorn_version(), expected)
        # Distinct fields, so that a field read from the wrong place shows.
        self.assertNotEqual(expected[1], expected[2])
        self.assertNotEqual(expected[3], '')


# requestfile of a directory, over and over, while another thread opens
# and checks descriptors of its own.  The interpreter closes the refused
# stream with its lock released; the module must not close it a second
# time, nor a descriptor that the other thread got meanwhile.
DIRECTORY_RACE = r"""
import os, sys, threading, vorn
stop, bad = [], []
def opener():
    while not stop and not bad:
        fd = os.open('/dev/null', os.O_RDONLY)
        try:
            for _ in range(50):
                os.fstat(fd)
            os.close(fd)
        except OSError as e:
            bad.append(e.errno)
t = threading.Thread(target=opener)
t.start()
for _ in range(5000):
    try:
        vorn.requestfile(sys.argv[1])
    except IOError:
        pass
    if bad:
        break
stop.append(1)
t.join()
print(bad)
"""


class Files(vorntest.ClusterTest):
    def test_requestfile(self):
        path = self.path('data.txt')
        with open(path, 'w') as f:
            f.write('line one\nline two\n')
        f = vorn.requestfile(path)
        self.assertIs(type(f), FILE_TYPE)
        self.assertEqual((f.name, f.mode, f.closed), (path, 'r', False))
        fd = f.fileno()
        self.assertEqual(f.read(), 'line one\nline two\n')
        f.close()
        self.assertOSError(errno.EBADF, os.fstat, fd)
        # Dropping the object releases the descriptor as well.
        fd = vorn.requestfile(path).fileno()
        self.assertOSError(errno.EBADF, os.fstat, fd)
        self.assertOSError(errno.ENOENT, vorn.requestfile, self.path('missing'))
        # A directory opens but is no file: the interpreter's error, and
        # the descriptor closed exactly once.
        before = sorted(os.listdir('/proc/self/fd'))
        for _ in range(3):
            with self.assertRaises(IOError) as ctx:
                vorn.requestfile(self.tmp)
            self.assertEqual(ctx.exception.errno, errno.EISDIR)
        self.assertEqual(sorted(os.listdir('/proc/self/fd')), before)
        with open('/etc/hostname') as ok:
            self.assertTrue(ok.read() is not None)

    def test_directory_with_threads(self):
        self.assertEqual(vorntest.run([sys.executable, '-c', DIRECTORY_RACE, self.tmp]),
                         (0, '[]\n', ''))

    def test_notifier(self):
        f = vorn.notifier()
        self.assertIs(type(f), FILE_TYPE)
        self.assertEqual((f.name, f.mode), ('', 'r'))
        fd = f.fileno()
        vorn.chmod(2, 0o700)
        ready, _, _ = select.select([f], [], [], 10)
        self.assertEqual(ready, [f])
        self.assertIn(b'vorn_chmod', os.read(fd, 4096))
        f.close()
        self.assertOSError(errno.EBADF, os.fstat, fd)

    def test_dumps(self):
        # The emulated cluster cannot dump a process.
        self.assertOSError(errno.ENOSYS, vorn.dump, 1, vorn.DUMP_ALL)
        self.assertOSError(errno.ENOSYS, vorn.undump, 0)
        self.assertOSError(errno.ENOSYS, vorn.execdump, 1, 6, '/bin/true', ['true'])
        self.assertOSError(errno.ENOSYS, vorn.execdump, fd=1, flags=6, cmd='/bin/true',
                           argv=('true',), envp={'A': '1'})
        self.fault('vorn_execdump', 'any', 'EINVAL', 1)
        self.assertRaisesMsg(ValueError, "invalid node", vorn.execdump, 1, 6, '/bin/true', [])
        self.assertEqual([r[2] for r in self.journal()],
                         ['vorn_dump', 'vorn_undump', 'vorn_execdump', 'vorn_execdump',
                          'vorn_execdump'])
        self.assertEqual(self.journal('vorn_dump')[0][4], '7')


class LibraryList(vorntest.ClusterTest):
    def test_list(self):
        self.assertEqual(vorn.liblist(), [])
        for name in ('libc.so.6', 'libm.so.6', 'libz.so.1'):
            self.assertIsNone(vorn.libadd(name))
        self.assertEqual(vorn.liblist(), ['libc.so.6', 'libm.so.6', 'libz.so.1'])
        self.assertOSError(errno.EEXIST, vorn.libadd, 'libm.so.6')
        self.assertIsNone(vorn.libdel('libm.so.6'))
        self.assertOSError(errno.ENOENT, vorn.libdel, 'libm.so.6')
        self.assertRaisesMsg(ValueError, "invalid node", vorn.libadd, '')
        self.assertOSError(errno.ENAMETOOLONG, vorn.libadd, 'x' * 4096)
        self.assertEqual(vorn.liblist(), ['libc.so.6', 'libz.so.1'])
        self.assertIsNone(vorn.libclear())
        self.assertEqual(vorn.liblist(), [])


class EmptyCluster(vorntest.ClusterTest):
    NODES = 0

    def test_no_nodes(self):
        self.assertEqual(vorn.numnodes(), 0)
        self.assertEqual(vorn.nodelist(), [])
        self.assertRaisesMsg(ValueError, "invalid node", vorn.nodestatus, 0)


class NonRoot(vorntest.ClusterTest):
    """A child that runs as user and group nobody on a shared cluster."""

    INIT_ARGS = ('--shared',)

    def as_nobody(self, fn):
        def body():
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            return fn()
        return vorntest.in_child(body)

    def test_access(self):
        self.assertIsNone(vorn.chmod(2, 0o100))
        self.assertIsNone(vorn.chmod(3, 0o101))
        self.assertIsNone(vorn.chown(4, 65534))
        self.assertIsNone(vorn.chmod(4, 0o100))
        # Root may always.
        self.assertEqual([vorn.access(n, vorn.X_OK) for n in (1, 2, 3, 4)], [1, 1, 1, 1])

        def check():
            got = [vorn.access(n, vorn.X_OK) for n in (1, 2, 3, 4)]
            if got != [1, 0, 1, 1]:
                return 10
            try:
                vorn.access(8, vorn.X_OK)
                return 11
            except ValueError as e:
                if str(e) != 'invalid node':
                    return 12
            # Changes need root.
            for call in (lambda: vorn.chmod(1, 0o777), lambda: vorn.nodereboot(1),
                         lambda: vorn.nodesetstatus(1, 0), lambda: vorn.libadd('a')):
                try:
                    call()
                    return 13
                except OSError as e:
                    if e.errno != errno.EPERM:
                        return 14
            # Placement refused by the node's mode.
            try:
                vorn.rfork(2)
                return 15
            except OSError as e:
                if e.errno != errno.EACCES:
                    return 16
            return 0
        self.assertEqual(self.as_nobody(check), 0)
        self.fault('vorn_access', 'any', 'EACCES', 1)
        self.assertEqual(vorn.access(1, vorn.X_OK), 0)


@unittest.skipIf(PY2, 'Python 3 semantics')
class Python3Text(vorntest.ClusterTest):
    """Paths as str or bytes, text results as str, errors as the OSError
    subclass of their errno."""

    def test_paths_and_results(self):
        name = 'caf\xe9.txt'
        path = os.path.join(self.tmp, name)
        with open(path, 'w') as f:
            f.write('text\n')
        # str, bytes and a path-like object name the same file; the name
        # is the str of the path.
        for arg in (path, os.fsencode(path), pathlib.Path(path)):
            with vorn.requestfile(arg) as f:
                self.assertEqual((f.name, f.mode, f.read()), (path, 'r', 'text\n'))
        with self.assertRaises(FileNotFoundError):
            vorn.requestfile(os.fsencode(path) + b'x')
        vorn.libadd('lib\xe9.so')
        vorn.libadd(b'libq.so')
        self.assertEqual(vorn.liblist(), ['lib\xe9.so', 'libq.so'])
        with self.assertRaises(FileExistsError):
            vorn.libadd('libq.so')
        self.assertIsNone(vorn.nodechroot(2, pathlib.Path('/tmp')))
        self.assertIs(type(vorn.nodeaddr(1)), str)

    def test_exec_with_bytes(self):
        out = self.path('out')
        io = [(1, vorn.IO_FILE, 0, (WRITE, 0o644, 0, out.encode()))]
        self.assertEqual(vorntest.in_child(lambda: vorn.execmove(
            1, b'/bin/sh', [b'sh', '-c', 'echo "$A"'], {b'A': 'caf\xe9'}, io)), 0)
        with open(out, 'rb') as f:
            self.assertEqual(f.read(), b'caf\xc3\xa9\n')


if __name__ == '__main__':
    unittest.main()
