# vorntest.py - shared fixture of the vorn module tests: a fresh emulated
# cluster per test, vornemu faults and journal, exception checks.
import ctypes
import errno
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import vorn

VORNEMU = os.environ.get('VORNEMU', 'vornemu')
# The tests are written in what both interpreters accept; where they differ,
# a block says which.
PY2 = sys.version_info[0] == 2


def parser_message(args, fmt, kwargs=None, kwlist=()):
    """The message with which this interpreter's own argument parser
    (PyArg_ParseTupleAndKeywords) refuses args (a tuple) and kwargs under
    the format fmt, whose every unit is "i"; the wording differs between
    versions, so tests take it from the interpreter instead of a table."""
    names = (ctypes.c_char_p * (len(kwlist) + 1))(*([k.encode('ascii') for k in kwlist] + [None]))
    ints = [ctypes.c_int() for _ in fmt if _ == 'i']
    try:
        ctypes.pythonapi.PyArg_ParseTupleAndKeywords(
            ctypes.py_object(args), ctypes.py_object(kwargs or {}), fmt.encode('ascii'), names,
            *[ctypes.byref(i) for i in ints])
    except TypeError as e:
        return str(e)
    raise AssertionError('the parser took %r %r under %r' % (args, kwargs, fmt))


# The argument parser's words for a str where an int belongs.
NOT_INT = parser_message(('1',), 'i', kwlist=('n',))
# ... and for a keyword argument that the function does not take.
BAD_KEYWORD = parser_message((), '|i', {'bogus': 1}, kwlist=('n',))


def run(argv):
    """Runs a program; returns (status, stdout, stderr) as text."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    out, err = proc.communicate()
    return proc.returncode, out, err


def vornemu(*args):
    """Runs vornemu; returns (status, stdout, stderr)."""
    return run([VORNEMU] + [str(a) for a in args])


def os_error_type(err):
    """The class of OSError that the interpreter raises for an errno:
    OSError itself under Python 2, its subclass under Python 3."""
    return type(OSError(err, os.strerror(err)))


def wait_status(pid):
    """Waits for a child; returns its exit status (128 + signal if killed)."""
    while True:
        try:
            _, status = os.waitpid(pid, 0)
            break
        except OSError as e:
            if e.errno != errno.EINTR:
                raise
    if os.WIFSIGNALED(status):
        return 128 + os.WTERMSIG(status)
    return os.WEXITSTATUS(status)


def run_child(fn):
    """Body of a forked child: exits with fn's result (an int), 0 for None,
    70 when it raised.  Never returns into the test runner."""
    code = 70
    try:
        result = fn()
        code = 0 if result is None else int(result)
    except BaseException:
        import traceback
        traceback.print_exc()
    finally:
        os._exit(code)


def in_child(fn, timeout=20):
    """Runs fn() in a forked child (see run_child) and returns its exit
    status."""
    pid = os.fork()
    if pid == 0:
        signal.alarm(timeout)
        run_child(fn)
    return wait_status(pid)


def module_path():
    return vorn.__file__


_libc = ctypes.CDLL(None, use_errno=True)
_libc.free.argtypes = [ctypes.c_void_p]
_libc.free.restype = None


def free(ptr):
    _libc.free(ptr)


def parse_io_list(obj):
    """Calls the module's exported parseIOList; returns (count, raw bytes of
    the records).  The array is released with free, as its caller must."""
    lib = ctypes.PyDLL(module_path())
    fn = lib.parseIOList
    fn.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_void_p)]
    fn.restype = ctypes.c_int
    out = ctypes.c_void_p(0)
    count = fn(obj, ctypes.byref(out))
    try:
        if count < 0:
            raise AssertionError('parseIOList returned %d without an exception' % count)
        if not out.value:
            raise AssertionError('parseIOList gave a null array')
        return count, ctypes.string_at(out.value, 280 * count)
    finally:
        if out.value:
            free(out.value)


class ClusterTest(unittest.TestCase):
    """Each test gets its own emulated cluster in a temporary directory;
    VORN_CLUSTER points at it (the library reads it on every call)."""

    NODES = 8
    INIT_ARGS = ()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='vorn-py-')
        os.chmod(self.tmp, 0o755)
        self.cluster = os.path.join(self.tmp, 'cluster')
        os.environ['VORN_CLUSTER'] = self.cluster
        status, _, err = vornemu('init', '--nodes', self.NODES, '--boot-delay', '0',
                                 *self.INIT_ARGS)
        self.assertEqual(status, 0, err)
        self.children = []

    def tearDown(self):
        for pid in self.children:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except OSError:
                pass
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    # Faults and journal of the emulated cluster.
    def fault(self, function, node, err, count=None):
        args = ['fail', function, node, err]
        if count is not None:
            args.append(count)
        status, _, msg = vornemu(*args)
        self.assertEqual(status, 0, msg)

    def heal(self):
        status, _, msg = vornemu('heal')
        self.assertEqual(status, 0, msg)

    def journal(self, function=None):
        """Journal rows [time, uid, function, node, argument, result], or
        those of one library function."""
        status, out, msg = vornemu('log')
        self.assertEqual(status, 0, msg)
        rows = [line.split('\t') for line in out.splitlines() if line]
        if function is not None:
            rows = [r for r in rows if r[2] == function]
        return rows

    # Exceptions of an exact type with an exact message.
    def assertRaisesMsg(self, exc_type, message, fn, *args, **kw):
        try:
            fn(*args, **kw)
        except Exception as e:
            self.assertIs(type(e), exc_type, '%r raised instead of %s' % (e, exc_type.__name__))
            self.assertEqual(str(e), message)
            return e
        self.fail('%s(%r) did not raise %s' % (getattr(fn, '__name__', fn), args,
                                               exc_type.__name__))

    def assertOSError(self, err, fn, *args, **kw):
        try:
            fn(*args, **kw)
        except OSError as e:
            self.assertIs(type(e), os_error_type(err))
            self.assertEqual(e.errno, err)
            self.assertEqual(e.strerror, os.strerror(err))
            return e
        self.fail('%s did not raise OSError' % getattr(fn, '__name__', fn))

    def wait_until(self, predicate, timeout=10.0):
        end = time.time() + timeout
        while time.time() < end:
            if predicate():
                return True
            time.sleep(0.02)
        return predicate()
