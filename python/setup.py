# setup.py - builds the module vorn for pip ("pip install ./python") against
# an installed libvorn.so.2, found through pkg-config's vorn.pc: the same
# stable-ABI vorn.abi3.so as the CMake build, with its type stubs beside it.
# Needs only setuptools (no download): pip install --no-build-isolation.
import os
import shutil
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def pkg_config(*args):
    try:
        out = subprocess.check_output(['pkg-config'] + list(args) + ['vorn'],
                                      universal_newlines=True)
    except (OSError, subprocess.CalledProcessError):
        raise SystemExit('vorn.pc not found: install the cluster library (make install '
                         'PREFIX=P) and put P/lib/pkgconfig on PKG_CONFIG_PATH')
    return out.split()


class BuildExt(build_ext):
    """Builds the module, then puts the stubs beside it."""

    def run(self):
        build_ext.run(self)
        for name in ('vorn.pyi', 'py.typed'):
            shutil.copy(os.path.join(HERE, name), os.path.join(self.build_lib, name))


version = pkg_config('--modversion')[0]
libdir = os.path.normpath(pkg_config('--variable=libdir')[0])
vorn = Extension(
    'vorn',
    sources=['vornmodule.cc', 'vornpy3.cc'],
    include_dirs=[os.path.normpath(f[2:]) for f in pkg_config('--cflags-only-I')],
    library_dirs=[libdir],
    libraries=['vorn'],
    runtime_library_dirs=[libdir],
    define_macros=[('Py_LIMITED_API', '0x03070000'), ('VORN_VERSION', '"%s"' % version)],
    extra_compile_args=['-std=c++17', '-fvisibility=hidden', '-fno-exceptions', '-fno-rtti'],
    extra_link_args=['-Wl,--version-script=' + os.path.join(HERE, 'vornmodule3.map'),
                     '-Wl,--as-needed'],
    depends=['vorncompat.h', 'vornmodule3.map'],
    py_limited_api=True,
)

setup(
    name='vorn',
    version=version,
    description='The cluster library libvorn.so.2 for Python',
    python_requires='>=3.7',
    ext_modules=[vorn],
    cmdclass={'build_ext': BuildExt},
    options={'bdist_wheel': {'py_limited_api': 'cp37'}},
    zip_safe=False,
)
