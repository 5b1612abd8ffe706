# installed_check.py - the installed module lies in the site directory that
# this interpreter searches under the installation's prefix (VORN_SITE under
# the staged prefix VORN_STAGE): a plain interpreter, with no PYTHONPATH and
# that prefix's site directories added as site.py adds its own, imports it,
# and it finds the installed libvorn.so.2 through its own run path; and
# pkg-config finds the installed library and headers through vorn.pc.
import os
import subprocess
import sys
import unittest

# Run by the plain interpreter: the prefix's site directories, then the
# module, its file, the libvorn.so it loaded, and its files beside it.
CHILD = r'''
import os, site, sys
site.PREFIXES[:] = [sys.argv[1]]
site.addsitepackages(set())
import vorn
with open('/proc/self/maps') as f:
    libs = sorted(set(os.path.realpath(l.split()[-1]) for l in f if 'libvorn.so' in l))
print(os.path.realpath(vorn.__file__))
print(' '.join(libs))
print(' '.join(sorted(os.listdir(os.path.dirname(vorn.__file__)))))
print(len(vorn.state_strings))
'''


class Installed(unittest.TestCase):
    def test_found_in_site_directory_without_pythonpath(self):
        stage = os.path.realpath(os.environ['VORN_STAGE'])
        site_dir = os.path.join(stage, os.environ['VORN_SITE'])
        env = dict(os.environ)
        env.pop('PYTHONPATH', None)
        env.pop('PYTHONHOME', None)
        proc = subprocess.Popen([sys.executable, '-c', CHILD, stage], env=env, cwd='/',
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True)
        out, err = proc.communicate()
        self.assertEqual(proc.returncode, 0, err)
        module, libs, files, states = out.splitlines()
        self.assertEqual(os.path.dirname(module), site_dir)
        self.assertEqual(libs, os.path.join(stage, 'lib', 'libvorn.so.2'))
        self.assertEqual(states, '5')
        if sys.version_info[0] >= 3:
            # One stable-ABI module, with its type stubs beside it.
            self.assertEqual(os.path.basename(module), 'vorn.abi3.so')
            self.assertEqual(files.split(), ['py.typed', 'vorn.abi3.so', 'vorn.pyi'])

    def test_pkg_config(self):
        # vorn.pc names the staged headers and library, wherever it lies.
        stage = os.path.realpath(os.environ['VORN_STAGE'])
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(stage, 'lib', 'pkgconfig'))
        proc = subprocess.Popen(['pkg-config', '--cflags', '--libs', 'vorn'], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True)
        out, err = proc.communicate()
        self.assertEqual(proc.returncode, 0, err)
        flags = out.split()
        self.assertEqual([f[:2] for f in flags], ['-I', '-L', '-l'])
        self.assertTrue(os.path.isfile(os.path.join(flags[0][2:], 'vorn', 'vorn.h')))
        self.assertEqual(os.path.realpath(os.path.join(flags[1][2:], 'libvorn.so.2')),
                         os.path.realpath(os.path.join(stage, 'lib', 'libvorn.so.2')))
        self.assertEqual(flags[2], '-lvorn')


if __name__ == '__main__':
    unittest.main()
