# test_frame.py - the module's frame: method table (order, flags,
# docstrings, signatures), constants, namespace, exports and the clean import.
import ctypes
import os
import re
import sys
import unittest

import vorn
import vorntest
from vorntest import PY2

# (name, takes keywords, docstring), in method-table order.
METHODS = [
    ('getnodebyname', False, "getnodebyname() - Return an int representing the node you name.\n"),
    ('numnodes', False, "numnodes() - Return an int representing the number of slave nodes.\n"),
    ('nodestatus', False, "nodestatus() - returns the status of the specified node.\n"),
    ('masteraddr', False, "masteraddr() - Returns the IP of the head node.\n"),
    ('nodeaddr', False, "nodeaddr() - Returns the IP of the given node.\n"),
    ('nodenumber', False, "nodenumber(ip) - returns the node number for the given ip.\n"),
    ('currnode', False, "currnode() - Returns the current node.\n"),
    ('chmod', False, "chmod(node, mode) - change the permissions for a node.\n"),
    ('chown', False, "chown(node, user) - change the user for a node.\n"),
    ('chgrp', False, "chgrp(node, group) - change the group for a node.\n"),
    ('access', False, "access(node, mode) - Check if you have access to a node.\n"),
    ('nodeinfo', False, "nodeinfo(node) - returns tuple containing information on node.\n"),
    ('nodelist', False, "nodelist(node) - get information on all nodes\n"),
    ('proclist', False,
     "proclist(node) - get information on all ghosted processes on a given node\n"),
    ('pidnode', False, "pidnode() - returns the node the given pid is being run on.\n"),
    ('rexec', True, "rexec() - Replaces the python process with a new process that is created "
     "on a remote node.\n"),
    ('move', True, "move() - Moves the current process to the specified node.\n"),
    ('rfork', True,
     "rfork() - forks the process, the child process being created on a different node.\n"),
    ('vrfork', True, "vrfork(nodes) - Vector forks to all thte listed nodes.\n"),
    ('execmove', True, "execmove() - Replaces the python process with a new process that is "
     "created on the current node and immediately moved to the specified node.\n"),
    ('requestfile', False,
     "requestfile(path) - Request a file through the Vorn file cache interface.\n"),
    ('nodechroot', False, "nodechroot() - requests that the slave daemon perform a chroot.\n"),
    ('nodereboot', False, "nodereboot(node) - requests that the slave daemon reboot the node.\n"),
    ('nodehalt', False, "nodehalt(node) - requests that the slave daemon halt the node.\n"),
    ('nodepwroff', False,
     "nodepwroff(node) - requests that the slave daemon poweroff the node.\n"),
    ('nodereboot_async', False,
     "nodereboot_async(node) - requests that the slave daemon reboot the node.\n"),
    ('nodehalt_async', False,
     "nodehalt_async(node) - requests that the slave daemon halt the node.\n"),
    ('nodepwroff_async', False,
     "nodepwroff_async(node) - requests that the slave daemon poweroff the node.\n"),
    ('nodesetstatus', False, "nodesetstatus() - Sets a node's status.\n"),
    ('nodecachepurgefail', False,
     "nodecachepurgefail(node) - flush file cache failure list.\n"),
    ('nodecachepurgeok', False,
     "nodecachepurgeok(node) - flush successful downloads from file cache.\n"),
    ('vorn_version', False,
     "vorn_version() - Retrieve version information from the Vorn library.\n"),
    ('notifier', False, "notifier() - get notifier file object.\n"),
    ('dump', False, "dump(fileno, flags) - Dumps the current process to a file descriptor.\n"),
    ('undump', False, "undump(fileno) - Restore a process from a file descriptor.\n"),
    ('execdump', True, "execdump() - XXX: need info.\n"),
    ('libclear', False, "libclear() - XXX: Need stuff here.\n"),
    ('libadd', False, "libadd(libname) - XXX: Need stuff here.\n"),
    ('libdel', False, "libdel(libname) - XXX: Need stuff here.\n"),
    ('liblist', False, "liblist() - Get list of libraries.\n"),
]

# The signature line that opens each docstring under Python 3 (the
# arguments as the functions parse them; "..." for an optional argument
# without a default value).
SIGNATURES = {
    'getnodebyname': '(name, /)', 'numnodes': '()', 'nodestatus': '(node, /)',
    'masteraddr': '()', 'nodeaddr': '(node, /)', 'nodenumber': '(ip, /)', 'currnode': '()',
    'chmod': '(node, mode, /)', 'chown': '(node, user, /)', 'chgrp': '(node, group, /)',
    'access': '(node, mode, /)', 'nodeinfo': '(node, /)', 'nodelist': '()',
    'proclist': '(node, /)', 'pidnode': '(pid, /)',
    'rexec': '(node, cmd, argv, envp=..., io=...)', 'move': '(node, io=..., flags=6)',
    'rfork': '(node, io=..., flags=6)', 'vrfork': '(nodes, io=..., flags=6)',
    'execmove': '(node, cmd, argv, envp=..., io=...)', 'requestfile': '(path, /)',
    'nodechroot': '(node, path, /)', 'nodereboot': '(node, /)', 'nodehalt': '(node, /)',
    'nodepwroff': '(node, /)', 'nodereboot_async': '(node, /)',
    'nodehalt_async': '(node, /)', 'nodepwroff_async': '(node, /)',
    'nodesetstatus': '(node, status, /)', 'nodecachepurgefail': '(node, /)',
    'nodecachepurgeok': '(node, /)', 'vorn_version': '()', 'notifier': '()',
    'dump': '(fileno, flags, /)', 'undump': '(fileno, /)',
    'execdump': '(fd, flags, cmd, argv, envp=...)', 'libclear': '()',
    'libadd': '(libname, /)', 'libdel': '(libname, /)', 'liblist': '()',
}

CONSTANTS = [
    ('node_down', 0), ('node_boot', 1), ('node_error', 2), ('node_unavailable', 3),
    ('node_up', 4), ('state_strings', ['down', 'boot', 'error', 'unavailable', 'up']),
    ('NODE_MASTER', -1), ('NODE_SELF', -2), ('NODE_NONE', -3), ('NODE_ANY', -4),
    ('STATUS_NONE', -2), ('DUMP_LIBS', 1), ('DUMP_EXEC', 2), ('DUMP_OTHER', 4),
    ('DUMP_ALL', 7), ('ARCH_X86', 1), ('ARCH_ALPHA', 2), ('ARCH', 5), ('IO_FILE', 0),
    ('IO_SOCKET', 1), ('node_reboot', 16777216), ('node_halt', 16777217),
    ('node_pwroff', 16777218), ('X_OK', 1),
]


# The module's entry point, and the other interpreter's.
ENTRY, OTHER_ENTRY = ('initvorn', 'PyInit_vorn') if PY2 else ('PyInit_vorn', 'initvorn')


class PyMethodDef(ctypes.Structure):
    _fields_ = [('ml_name', ctypes.c_char_p), ('ml_meth', ctypes.c_void_p),
                ('ml_flags', ctypes.c_int), ('ml_doc', ctypes.c_char_p)]


class PyCFunctionObject(ctypes.Structure):
    _fields_ = [('ob_refcnt', ctypes.c_ssize_t), ('ob_type', ctypes.c_void_p),
                ('m_ml', ctypes.POINTER(PyMethodDef))]


def method_def_address(fn):
    obj = PyCFunctionObject.from_address(id(fn))
    return ctypes.cast(obj.m_ml, ctypes.c_void_p).value


class MethodTable(unittest.TestCase):
    def test_table_order_flags_and_terminator(self):
        # The function objects point into VornMethods: consecutive entries
        # in table order, closed by an all-zero entry.
        size = ctypes.sizeof(PyMethodDef)
        first = method_def_address(getattr(vorn, METHODS[0][0]))
        for i, (name, keywords, doc) in enumerate(METHODS):
            fn = getattr(vorn, name)
            self.assertEqual(method_def_address(fn), first + i * size, name)
            entry = PyMethodDef.from_address(first + i * size)
            self.assertEqual(entry.ml_name, name.encode('ascii'))
            self.assertEqual(entry.ml_flags, 3 if keywords else 1, name)
            if not PY2:
                doc = '%s%s\n--\n\n%s' % (name, SIGNATURES[name], doc)
            self.assertEqual(entry.ml_doc, doc.encode('ascii'), name)
        end = ctypes.string_at(first + len(METHODS) * size, size)
        self.assertEqual(end, b'\0' * size)

    def test_docstrings(self):
        for name, _, doc in METHODS:
            self.assertEqual(getattr(vorn, name).__doc__, doc)
            self.assertTrue(doc.endswith('\n'))
        self.assertEqual(vorn.vrfork.__doc__,
                         "vrfork(nodes) - Vector forks to all thte listed nodes.\n")

    @unittest.skipIf(PY2, 'Python 2 has no signatures of C functions')
    def test_signatures(self):
        import inspect
        self.assertEqual(len(SIGNATURES), len(METHODS))
        for name, _, _ in METHODS:
            expected = SIGNATURES[name]
            if sys.version_info < (3, 8):
                # 3.7 cannot read "..." and leaves such an argument out.
                expected = re.sub(r', \w+=\.\.\.', '', expected)
            expected = expected.replace('...', 'Ellipsis')
            self.assertEqual(str(inspect.signature(getattr(vorn, name))), expected, name)

    @unittest.skipIf(sys.version_info < (3, 8), 'the stubs use 3.8 syntax')
    def test_stubs_match_module(self):
        import ast
        stubs = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'python',
                             'vorn.pyi')
        with open(stubs) as f:
            tree = ast.parse(f.read())
        functions, names = {}, set()
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                a = node.args
                functions[node.name] = [x.arg for x in a.posonlyargs + a.args]
            elif isinstance(node, ast.AnnAssign):
                names.add(node.target.id)
        self.assertEqual(sorted(functions), sorted(SIGNATURES))
        for name in SIGNATURES:
            params = re.findall(r'([a-z]\w*)(?:=|,|\))', SIGNATURES[name])
            self.assertEqual(functions[name], params, name)
        self.assertEqual(names, set(c[0] for c in CONSTANTS) | set(['__version__']))

    def test_keywords_refused_by_positional_functions(self):
        for name, keywords, _ in METHODS:
            if keywords:
                continue
            with self.assertRaises(TypeError) as ctx:
                getattr(vorn, name)(x=1)
            self.assertEqual(str(ctx.exception), '%s() takes no keyword arguments' % name)

    def test_keyword_functions_name_their_arguments(self):
        # (name, keywords, required positional arguments)
        cases = [('rexec', ['node', 'cmd', 'argv', 'envp', 'io'], (0, '/bin/true', [])),
                 ('execmove', ['node', 'cmd', 'argv', 'envp', 'io'], (0, '/bin/true', [])),
                 ('move', ['node', 'io', 'flags'], (0,)),
                 ('rfork', ['node', 'io', 'flags'], (0,)),
                 ('vrfork', ['nodes', 'io', 'flags'], ([],)),
                 ('execdump', ['fd', 'flags', 'cmd', 'argv', 'envp'], (1, 0, '/bin/true', []))]
        for name, words, required in cases:
            fn = getattr(vorn, name)
            with self.assertRaises(TypeError) as ctx:
                fn(*required, bogus=1)
            self.assertEqual(str(ctx.exception), vorntest.BAD_KEYWORD)
            # Every required argument can be given by its keyword alone.
            with self.assertRaises(TypeError) as ctx:
                fn(bogus=1, **dict(zip(words, required)))
            self.assertEqual(str(ctx.exception), vorntest.BAD_KEYWORD)
            with self.assertRaises(TypeError) as ctx:
                fn(*required, **{words[0]: required[0]})
            self.assertIn('given by name', str(ctx.exception))

    def test_namespace(self):
        names = set(n for n in dir(vorn) if not n.startswith('__'))
        expected = set(m[0] for m in METHODS) | set(c[0] for c in CONSTANTS)
        self.assertEqual(len(METHODS), 40)
        self.assertEqual(len(CONSTANTS), 24)
        self.assertEqual(names, expected)
        if PY2:
            self.assertIsNone(vorn.__doc__)
            self.assertFalse(hasattr(vorn, '__version__'))
        else:
            self.assertTrue(vorn.__doc__.startswith('The cluster library libvorn.so.2'))
            self.assertRegex(vorn.__version__, r'^[0-9]+\.[0-9]+\.[0-9]+$')


class Constants(unittest.TestCase):
    def test_values_and_types(self):
        for name, value in CONSTANTS:
            got = getattr(vorn, name)
            self.assertEqual(got, value, name)
            self.assertIs(type(got), type(value), name)
        for s in vorn.state_strings:
            self.assertIs(type(s), str)

    def test_relations(self):
        self.assertEqual(vorn.state_strings[vorn.node_up], 'up')
        self.assertEqual(len(vorn.state_strings), 5)
        self.assertEqual(vorn.NODE_SELF, vorn.STATUS_NONE)
        self.assertEqual(vorn.DUMP_ALL, vorn.DUMP_LIBS | vorn.DUMP_EXEC | vorn.DUMP_OTHER)
        self.assertNotIn(vorn.ARCH, (vorn.ARCH_X86, vorn.ARCH_ALPHA))
        self.assertEqual(vorn.node_reboot, 1 << 24)
        self.assertEqual((vorn.node_halt, vorn.node_pwroff),
                         (vorn.node_reboot + 1, vorn.node_reboot + 2))


class SharedObject(unittest.TestCase):
    def test_import_is_silent(self):
        # A module API version other than the interpreter's makes every
        # import print a warning.
        self.assertEqual(vorntest.run([sys.executable, '-c', 'import vorn']), (0, '', ''))

    def test_exports(self):
        lib = ctypes.PyDLL(vorntest.module_path())
        for name in (ENTRY, 'parseIOList'):
            self.assertTrue(hasattr(lib, name), name)
        for name in ('parseIOObj', 'parseIPString', 'parseArgv', 'parseEnvp', 'setError',
                     'makeip', 'VornMethods', 'exec_wrapper', 'vn_move', 'enterConstants',
                     'fileFromDescriptor', OTHER_ENTRY):
            self.assertFalse(hasattr(lib, name), name)

    def _readelf(self, *args):
        try:
            return vorntest.run(['readelf'] + list(args))[1]
        except OSError:
            self.skipTest('readelf is not available')

    def test_dynamic_section(self):
        # vornmodule.so under Python 2, vorn.<abi tag>.so under Python 3.
        out = self._readelf('-d', vorntest.module_path())
        self.assertIn('Library soname: [%s]' % os.path.basename(vorntest.module_path()), out)
        self.assertIn('Shared library: [libvorn.so.2]', out)
        syms = self._readelf('--dyn-syms', '-W', vorntest.module_path())
        defined = set()
        for line in syms.splitlines():
            f = line.split()
            if len(f) >= 8 and f[6] != 'UND' and f[4] in ('GLOBAL', 'WEAK'):
                defined.add(f[7].split('@')[0])
        self.assertEqual(defined, set([ENTRY, 'parseIOList']))


if __name__ == '__main__':
    unittest.main()
