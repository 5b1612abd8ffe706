# pip_check.py - "pip install --no-build-isolation ./python", offline, in a
# fresh virtual environment: it builds vorn.abi3.so against the staged
# installation (VORN_STAGE), found through its vorn.pc, and the
# environment's python imports it and uses the library.
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'python')


class Pip(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='vorn-pip-')

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_ok(self, argv, **env):
        environ = dict(os.environ, **env)
        environ.pop('PYTHONPATH', None)
        proc = subprocess.Popen(argv, env=environ, cwd=self.tmp, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, universal_newlines=True)
        out = proc.communicate()[0]
        self.assertEqual(proc.returncode, 0, '%s:\n%s' % (' '.join(argv), out))
        return out

    def test_install_in_venv(self):
        stage = os.path.realpath(os.environ['VORN_STAGE'])
        # A copy of the sources: pip builds in the tree it is given.
        src = os.path.join(self.tmp, 'python')
        shutil.copytree(SOURCE, src, ignore=shutil.ignore_patterns('build', '*.egg-info'))
        venv = os.path.join(self.tmp, 'venv')
        self.run_ok([sys.executable, '-m', 'venv', venv])
        python = os.path.join(venv, 'bin', 'python')
        self.run_ok([python, '-m', 'pip', 'install', '--no-index', '--no-build-isolation', src],
                    PKG_CONFIG_PATH=os.path.join(stage, 'lib', 'pkgconfig'),
                    PIP_FIND_LINKS='', PIP_DISABLE_PIP_VERSION_CHECK='1')
        cluster = os.path.join(self.tmp, 'cluster')
        self.run_ok([os.environ['VORNEMU'], 'init', '--nodes', '3'], VORN_CLUSTER=cluster)
        out = self.run_ok([python, '-c', 'import os, vorn\n'
                           'print(os.path.basename(vorn.__file__), vorn.numnodes())\n'
                           'print(sorted(os.listdir(os.path.dirname(vorn.__file__))))'],
                          VORN_CLUSTER=cluster)
        lines = out.splitlines()
        self.assertEqual(lines[0], 'vorn.abi3.so 3')
        for name in ('py.typed', 'vorn.abi3.so', 'vorn.pyi'):
            self.assertIn("'%s'" % name, lines[1])


if __name__ == '__main__':
    unittest.main()
