"""Build step of the pelox package (metadata: pyproject.toml).

When the C library has been built, it is copied into the package so that the
installed package finds it next to itself:

- ``$PELOX_LIBRARY`` (the library file) when set, else
- ``$PELOX_BUILD_DIR/src/libpeloxImp.so`` when set, else
- ``../build/src/libpeloxImp.so`` (the build folder the project's scripts use).

The companion ``libpeloxImp_soap.so`` is copied from beside it, and the
emulator's path in that build tree is recorded for ``pelox.testing``. Without
a built library the build fails and says where it looked, unless
``PELOX_PACKAGE_ONLY=1`` asks for the package alone (it then finds the
library at run time through ``$PELOX_LIBRARY`` or the loader path).
"""

import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = "libpeloxImp.so"
SOAP_LIBRARY = "libpeloxImp_soap.so"


def built_library():
    """(library, companion or None, emulator or None) of a build tree, or None."""
    library = os.environ.get("PELOX_LIBRARY")
    build_dir = os.environ.get("PELOX_BUILD_DIR") or os.path.join(HERE, os.pardir, "build")
    if not library:
        library = os.path.join(build_dir, "src", LIBRARY)
    if not os.path.isfile(library):
        return None
    library = os.path.realpath(library)
    folder = os.path.dirname(library)
    soap = None
    for candidate in (os.path.join(folder, SOAP_LIBRARY), os.path.join(folder, "wire", SOAP_LIBRARY),
                      os.path.join(build_dir, "src", "wire", SOAP_LIBRARY)):
        if os.path.isfile(candidate):
            soap = os.path.realpath(candidate)
            break
    emulator = None
    for candidate in (os.path.join(build_dir, "emulator", "pelox-emulator"),
                      os.path.join(folder, os.pardir, "emulator", "pelox-emulator")):
        if os.path.isfile(candidate):
            emulator = os.path.realpath(candidate)
            break
    return library, soap, emulator


BUILT = built_library()


class BuildWithLibrary(build_py):
    """Copies the built library (and its companion) into the package and
    records where the build tree's emulator is."""

    def run(self):
        super().run()
        if not BUILT:
            if os.environ.get("PELOX_PACKAGE_ONLY") == "1":
                self.announce("pelox: PELOX_PACKAGE_ONLY=1: installing the package without the library", level=2)
                return
            # A package without its library imports fine and fails at the
            # first call: refuse to build it unless that is what was asked.
            build_dir = os.environ.get("PELOX_BUILD_DIR") or os.path.join(HERE, os.pardir, "build")
            raise SystemExit(
                "pelox: no built %s found (looked at $PELOX_LIBRARY and %s). Build the library first "
                "(cmake --build build), or set PELOX_BUILD_DIR to the build tree or PELOX_LIBRARY to the "
                "library; PELOX_PACKAGE_ONLY=1 installs the package alone."
                % (LIBRARY, os.path.join(os.path.abspath(build_dir), "src", LIBRARY)))
        library, soap, emulator = BUILT
        target = os.path.join(self.build_lib, "pelox")
        self.mkpath(target)
        shutil.copy2(library, os.path.join(target, LIBRARY))
        if soap:
            shutil.copy2(soap, os.path.join(target, SOAP_LIBRARY))
        with open(os.path.join(target, "_layout.py"), "w", encoding="utf-8") as f:
            f.write('"""Where this installation keeps the library and the emulator."""\n')
            f.write("LIBRARY_DIR = %r\n" % ".")
            f.write("EMULATOR = %r\n" % (emulator or ""))


class PlatformDistribution(Distribution):
    """With the library inside, the package is specific to this platform."""

    def has_ext_modules(self):
        return BUILT is not None


setup(packages=["pelox"], package_data={"pelox": ["py.typed"]}, include_package_data=False,
      cmdclass={"build_py": BuildWithLibrary}, distclass=PlatformDistribution)
