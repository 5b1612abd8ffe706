# test_conversions.py - IO tuples to redirection records byte for byte
# (through the exported parseIOList), and the refused forms of IO tuples,
# argument vectors, environments and node lists with their exceptions.
import os
import struct
import sys
import unittest

import vorn
import vorntest
from vorntest import PY2, parse_io_list

RECORD = 280
I32_MAX, I32_MIN = (1 << 31) - 1, -(1 << 31)
LONG_MIN = -sys.maxsize - 1


class Int(int):
    pass


class Str(str):
    pass


class Tuple(tuple):
    pass


class List(list):
    pass


def header(raw):
    """(fd, type, send_header, reserved bits of byte 4) of one record."""
    fd = struct.unpack_from('<i', raw, 0)[0]
    bits = bytearray(raw)[4]
    return fd, bits & 3, (bits >> 2) & 1


def file_part(raw):
    flags, mode, offset = struct.unpack_from('<iiq', raw, 8)
    return flags, mode, offset, raw[24:280]


def socket_part(raw):
    family = struct.unpack_from('<H', raw, 8)[0]
    return family, raw[12:16]


def name_field(name):
    if not isinstance(name, bytes):
        name = name.encode('utf-8')
    return name + b'\0' * (256 - len(name))


class IORecords(unittest.TestCase):
    def one(self, obj):
        count, raw = parse_io_list(obj)
        self.assertEqual(count, 1)
        self.assertEqual(len(raw), RECORD)
        return raw

    def test_file_record(self):
        flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND
        raw = self.one((3, vorn.IO_FILE, 1, (flags, 0o640, 12345, '/tmp/out.txt')))
        self.assertEqual(header(raw), (3, 0, 1))
        self.assertEqual(file_part(raw), (flags, 0o640, 12345, name_field('/tmp/out.txt')))

    def test_socket_record(self):
        raw = self.one((2, vorn.IO_SOCKET, 0, '10.0.0.5'))
        self.assertEqual(header(raw), (2, 1, 0))
        self.assertEqual(socket_part(raw), (2, b'\x0a\x00\x00\x05'))
        raw = self.one((1, 1, 1, ' 192.168.1.10'))
        self.assertEqual(header(raw), (1, 1, 1))
        self.assertEqual(socket_part(raw), (2, b'\xc0\xa8\x01\x0a'))
        # Each number as %d reads it: blanks before it, a sign, leading zeros.
        raw = self.one((1, 1, 1, '+1. 002.-0.0000000000255'))
        self.assertEqual(socket_part(raw), (2, b'\x01\x02\x00\xff'))

    def test_integer_cuts(self):
        # (IO tuple, header, file part) - only the low bits of the kind and
        # the header flag count.
        cases = [
            ((5, 4, 2, (7, 0o600, -5, 'a')), (5, 0, 0), (7, 0o600, -5)),
            # The limits of each field's C type.
            ((I32_MAX, 0, 0, (I32_MAX, I32_MIN, LONG_MIN, 'a')), (I32_MAX, 0, 0),
             (I32_MAX, I32_MIN, LONG_MIN)),
            ((-1, 8, 3, (-1, -1, 1 << 40, 'a')), (-1, 0, 1), (-1, -1, 1 << 40)),
            ((True, False, True, (True, 0, 0, 'a')), (1, 0, 1), (1, 0, 0)),
            ((Int(9), Int(0), Int(1), Tuple((Int(2), Int(3), Int(4), Str('a')))), (9, 0, 1),
             (2, 3, 4)),
        ]
        for tup, head, part in cases:
            raw = self.one(tup)
            self.assertEqual(header(raw), head, tup)
            self.assertEqual(file_part(raw)[:3], part, tup)
            self.assertEqual(file_part(raw)[3], name_field('a'), tup)
        raw = self.one((0, 5, 1, '1.2.3.4'))
        self.assertEqual(header(raw), (0, 1, 1))
        self.assertEqual(socket_part(raw), (2, b'\x01\x02\x03\x04'))

    def test_overflow(self):
        # A number beyond its field's C type is refused, not cut: fd
        # 2**32 + 1 would be descriptor 1.
        big = 1 << 32
        for tup in [(big + 1, 0, 0, (0, 0, 0, 'a')), (I32_MIN - 1, 0, 0, (0, 0, 0, 'a')),
                    (1, 0, 0, (big | 1, 0, 0, 'a')), (1, 0, 0, (0, I32_MAX + 1, 0, 'a')),
                    (1, 0, 0, (0, 0o600 - big, 0, 'a'))] + \
                ([] if PY2 else [(1, 0, 0, (0, 0, 1 << 63, 'a')), (1, 1 << 64, 0, '1.2.3.4')]):
            self.assertRaises(OverflowError, parse_io_list, [tup])

    def test_name_lengths(self):
        raw = self.one((1, 0, 0, (0, 0, 0, 'x' * 255)))
        self.assertEqual(file_part(raw)[3], b'x' * 255 + b'\0')
        raw = self.one((1, 0, 0, (0, 0, 0, '')))
        self.assertEqual(file_part(raw)[3][:1], b'\0')
        if not PY2:
            # str in the file-system encoding, bytes as they are.
            for name, field in [('x' * 253 + '\xe9', b'x' * 253 + b'\xc3\xa9'),
                                (b'/tmp/\xff', b'/tmp/\xff')]:
                raw = self.one((1, 0, 0, (0, 0, 0, name)))
                self.assertEqual(file_part(raw)[3], name_field(field))
            raw = self.one((1, 1, 0, b'10.0.0.5'))
            self.assertEqual(socket_part(raw), (2, b'\x0a\x00\x00\x05'))

    def test_lists(self):
        a = (0, vorn.IO_FILE, 0, (os.O_RDONLY, 0, 7, '/etc/hostname'))
        b = (1, vorn.IO_SOCKET, 1, '127.0.0.1')
        c = (2, vorn.IO_FILE, 1, (os.O_WRONLY, 0o644, 0, 'err'))
        count, raw = parse_io_list([a, b, c])
        self.assertEqual(count, 3)
        self.assertEqual(header(raw[0:280]), (0, 0, 0))
        self.assertEqual(file_part(raw[0:280]), (os.O_RDONLY, 0, 7, name_field('/etc/hostname')))
        self.assertEqual(header(raw[280:560]), (1, 1, 1))
        self.assertEqual(socket_part(raw[280:560]), (2, b'\x7f\x00\x00\x01'))
        self.assertEqual(header(raw[560:840]), (2, 0, 1))
        self.assertEqual(file_part(raw[560:840]), (os.O_WRONLY, 0o644, 0, name_field('err')))
        # An empty list is a valid array with no records.
        self.assertEqual(parse_io_list([]), (0, b''))
        self.assertEqual(parse_io_list(List([b]))[0], 1)

    def test_refused(self):
        good = (1, 0, 0, (0, 0, 0, 'f'))
        T, V = TypeError, ValueError
        cases = [
            (None, T, "Tuple expected"),
            ('abc', T, "Tuple expected"),
            ({}, T, "Tuple expected"),
            ([good, None], T, "Tuple expected"),
            ((1, 0, 0), V, "IO Tuple must have 4 elements."),
            ((1, 0, 0, (0, 0, 0, 'f'), 5), V, "IO Tuple must have 4 elements."),
            ([good, (1,)], V, "IO Tuple must have 4 elements."),
            ((good, good, good), V, "IO Tuple must have 4 elements."),
            ((good, good, good, good), T, "First element of IO tuple must be an int."),
            (('1', 0, 0, good[3]), T, "First element of IO tuple must be an int."),
            ((1, None, 0, good[3]), T, "Second element of IO tuple must be an int."),
            ((1, 0, 1.0, good[3]), T, "Third element of IO tuple must be an int."),
            ((1, 2, 0, good[3]), V, "Invalid IO type"),
            ((1, 3, 0, '1.2.3.4'), V, "Invalid IO type"),
            ((1, -1, 0, good[3]), V, "Invalid IO type"),
            ((1, 0, 0, 'f'), T, "Fourth element of IO tuple should be a tuple for this type."),
            ((1, 0, 0, [0, 0, 0, 'f']), T,
             "Fourth element of IO tuple should be a tuple for this type."),
            ((1, 1, 0, ('1.2.3.4',)), V,
             "Fourth element of IO tuple should be a string for this type."),
            ((1, 0, 0, (0, 0, 0)), V, "IO file tuple must have four elements."),
            ((1, 0, 0, (0, 0, 0, 'f', 0)), V, "IO file tuple must have four elements."),
            ((1, 0, 0, ('0', 0, 0, 'f')), T, "First element of IO file tuple must be an int."),
            ((1, 0, 0, (0, '0', 0, 'f')), T, "Second element of IO file tuple must be an int."),
            ((1, 0, 0, (0, 0, 0.0, 'f')), T, "Third element of IO file tuple must be an int."),
            ((1, 0, 0, (0, 0, 0, None)), T, "Fourth element of IO file tuple must be a string."),
            ((1, 0, 0, (0, 0, 0, 'x' * 256)), V,
             "filename in IO file tuple must be less than 256 characters"),
        ]
        if PY2:
            # A long is no int, a unicode no str; a NUL is counted.
            cases += [
                ((long(3), 0, 0, good[3]), T, "First element of IO tuple must be an int."),
                ((1, long(0), 0, good[3]), T, "Second element of IO tuple must be an int."),
                ((1, 0, 0, (0, long(0), 0, 'f')), T,
                 "Second element of IO file tuple must be an int."),
                ((1, 1, 0, u'1.2.3.4'), V,
                 "Fourth element of IO tuple should be a string for this type."),
                ((1, 0, 0, (0, 0, 0, u'f')), T,
                 "Fourth element of IO file tuple must be a string."),
                ((1, 0, 0, (0, 0, 0, 'a\0' * 128)), V,
                 "filename in IO file tuple must be less than 256 characters"),
            ]
        else:
            # A name is counted in the bytes of its file-system encoding
            # and holds no NUL.
            cases += [
                ((1, 0, 0, (0, 0, 0, 'x' * 254 + '\xe9')), V,
                 "filename in IO file tuple must be less than 256 characters"),
                ((1, 0, 0, (0, 0, 0, 'a\0b')), V, "embedded null byte"),
                ((1, 0, 0, (0, 0, 0, b'a\0b')), V, "embedded null byte"),
                ((1, 0, 0, (0, 0, 0, bytearray(b'f'))), T,
                 "Fourth element of IO file tuple must be a string."),
            ]
        for text in ['10.0.0.1 ', '10.0.0.1\n', '10.0.0.1x', '10.0.0', '', '256.1.1.1',
                     '1.2.3.256', '-1.0.0.0', '10.0.0.1.5', 'a.b.c.d', '10,0,0,1',
                     # Beyond an int: not 10, 1 or 4 by their low 32 bits.
                     '4294967306.0.0.1', '-4294967295.0.0.1', '1.2.3.4294967300',
                     '99999999999999999999.0.0.1']:
            cases.append(((1, 1, 0, text), V, "invalid ip"))
        for obj, exc, msg in cases:
            try:
                parse_io_list(obj)
            except Exception as e:
                self.assertIs(type(e), exc, (obj, e))
                self.assertEqual(str(e), msg, obj)
            else:
                self.fail('%r was accepted' % (obj,))


class ArgumentOrder(vorntest.ClusterTest):
    """Conversion failures of the placement functions: the right exception,
    in argument order, and no library call.  Every placement call is set to
    fail first, so a conversion that wrongly passed cannot replace the test
    process."""

    def setUp(self):
        vorntest.ClusterTest.setUp(self)
        for fn in ('vorn_rexec_io', 'vorn_execmove_io', '_vorn_move_io', '_vorn_rfork_io',
                   '_vorn_vrfork_io', 'vorn_execdump'):
            self.fault(fn, 'any', 'EIO')

    def check(self, exc, msg, fn, *args, **kw):
        self.assertRaisesMsg(exc, msg, fn, *args, **kw)

    def test_exec_conversions(self):
        T, V = TypeError, ValueError
        bad_io = (1, 6, 0, 'x')

        class Failing(list):
            def __getitem__(self, i):
                raise KeyError('boom')

        class BadKeys(dict):
            def keys(self):
                raise RuntimeError('no keys')

        class BadItem(dict):
            def __getitem__(self, key):
                raise RuntimeError('no item')

        cases = [
            # (args, kw, exception, message)
            ((0, '/bin/true', 'true'), {}, T, "argv must be a tuple or list"),
            ((0, '/bin/true', None), {}, T, "argv must be a tuple or list"),
            ((0, '/bin/true', ['true', 1]), {}, T, "argv must be a list of strings"),
            ((0, '/bin/true', ('true', 1)), {}, T, "argv must be a list of strings"),
            ((0, '/bin/true', Failing(['a'])), {}, KeyError, "'boom'"),
            ((0, '/bin/true', ['true'], None), {}, T, "env must be mapping object"),
            ((0, '/bin/true', ['true'], ['A=1']), {}, T, "env must be mapping object"),
            ((0, '/bin/true', ['true'], {'A': 1}), {}, T, "non-string value in env"),
            ((0, '/bin/true', ['true'], {1: 1}), {}, T, "non-string key in env"),
            ((0, '/bin/true', ['true'], {1: 'x'}), {}, T, "non-string key in env"),
            ((0, '/bin/true', ['true'], BadKeys(A='1')), {}, RuntimeError, "no keys"),
            ((0, '/bin/true', ['true'], BadItem(A='1')), {}, RuntimeError, "no item"),
            ((0, '/bin/true', ['true'], {}, None), {}, T, "Tuple expected"),
            ((0, '/bin/true', ['true'], {}, bad_io), {}, V, "Invalid IO type"),
            # The first bad argument in conversion order is the one reported.
            ((0, '/bin/true', 'true', None, bad_io), {}, T, "argv must be a tuple or list"),
            ((0, '/bin/true', ['true'], {'A': 2}, bad_io), {}, T, "non-string value in env"),
            ((0, '/bin/true', ['true']), {'io': None, 'envp': None}, T,
             "env must be mapping object"),
            ((), {'node': 0, 'cmd': '/bin/true', 'argv': ['x', None], 'io': None}, T,
             "argv must be a list of strings"),
        ]
        if PY2:
            cases += [
                ((0, '/bin/true', [u'true']), {}, T, "argv must be a list of strings"),
                ((0, '/bin/true', ['true'], {'A': 'x', 'B': u'y'}), {}, T,
                 "non-string value in env"),
            ]
            missing = "Required argument 'argv' (pos 3) not found"
        else:
            # Text is str or bytes; a list is no mapping.
            cases += [
                ((0, '/bin/true', [bytearray(b'true')]), {}, T, "argv must be a list of strings"),
                ((0, '/bin/true', ['a\0b']), {}, V, "embedded null byte"),
                ((0, '/bin/true', ['true'], {'A': 'x', 'B': b'y\0'}), {}, V,
                 "embedded null byte"),
                ((0, '/bin/true', ['true'], [('A', '1')]), {}, T, "env must be mapping object"),
            ]
            missing = "function missing required argument 'argv' (pos 3)"
        for fn in (vorn.rexec, vorn.execmove):
            for args, kw, exc, msg in cases:
                self.check(exc, msg, fn, *args, **kw)
            self.check(T, missing, fn, 0, '/bin/true')
        self.assertEqual(self.journal('vorn_rexec_io'), [])
        self.assertEqual(self.journal('vorn_execmove_io'), [])

    def test_execdump_conversions(self):
        T = TypeError
        self.check(T, "argv must be a tuple or list", vorn.execdump, 1, 0, '/bin/true', 'x',
                   None)
        self.check(T, "argv must be a list of strings", vorn.execdump, 1, 0, '/bin/true',
                   [None])
        self.check(T, "env must be mapping object", vorn.execdump, 1, 0, '/bin/true', ['x'],
                   None)
        self.check(T, "non-string key in env", vorn.execdump, fd=1, flags=0, cmd='/bin/true',
                   argv=['x'], envp={2: 'x'})
        self.assertEqual(self.journal('vorn_execdump'), [])

    def test_move_rfork_conversions(self):
        for fn in (vorn.move, vorn.rfork):
            self.check(TypeError, "Tuple expected", fn, 3, io=None)
            self.check(TypeError, "Tuple expected", fn, 3, None, 6)
            self.check(ValueError, "IO Tuple must have 4 elements.", fn, 3, [(0, 0, 0)])
            self.check(TypeError, vorntest.NOT_INT, fn, 3, [], 'x')
        self.assertEqual(self.journal('_vorn_move_io'), [])
        self.assertEqual(self.journal('_vorn_rfork_io'), [])

    def test_vrfork_conversions(self):
        T = TypeError
        self.check(T, "list expected", vorn.vrfork, (1, 2))
        self.check(T, "list expected", vorn.vrfork, None, None)
        self.check(T, "list of ints expected", vorn.vrfork, [1, 'a'])
        if PY2:
            self.check(T, "list of ints expected", vorn.vrfork, [long(1)])
        self.check(T, "list of ints expected", vorn.vrfork, ['a'], io=None)
        self.check(T, "Tuple expected", vorn.vrfork, [1, 2], io=None)
        self.check(ValueError, "invalid ip", vorn.vrfork, nodes=[1], io=(0, 1, 0, '1.2.3'))
        self.assertEqual(self.journal('_vorn_vrfork_io'), [])

    def test_node_overflow(self):
        # Cut to 32 bits these would be node 3 and the master.
        for nodes in ([1 << 32 | 3], [1, (1 << 32) - 1], [-(1 << 31) - 1]):
            self.assertRaises(OverflowError, vorn.vrfork, nodes)
        self.assertRaises(OverflowError, vorn.rfork, 1, [(1 << 32 | 1, 0, 0, (0, 0, 0, 'x'))])
        self.assertEqual(self.journal('_vorn_vrfork_io'), [])
        self.assertEqual(self.journal('_vorn_rfork_io'), [])


if __name__ == '__main__':
    unittest.main()
