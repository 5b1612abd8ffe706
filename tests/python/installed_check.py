# installed_check.py - the installed module imports from its site directory
# (VORN_SITE under the staged prefix) and finds the installed libvorn.so.2
# through its own RPATH.
import os
import unittest


class Installed(unittest.TestCase):
    def test_loads_installed_library(self):
        stage = os.path.realpath(os.environ['VORN_STAGE'])
        import vorn
        site = os.path.join(stage, os.environ['VORN_SITE'])
        self.assertEqual(os.path.dirname(os.path.realpath(vorn.__file__)), site)
        with open('/proc/self/maps') as f:
            libs = set(os.path.realpath(line.split()[-1]) for line in f
                       if 'libvorn.so' in line)
        self.assertEqual(libs, set([os.path.realpath(os.path.join(stage, 'lib',
                                                                  'libvorn.so.2'))]))
        self.assertEqual(len(vorn.state_strings), 5)


if __name__ == '__main__':
    unittest.main()
