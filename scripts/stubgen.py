"""nanobind's stub generator, taught the method descriptors our classes use.

The classes' methods are bound as plain CPython method descriptors rather than through
nanobind's dispatcher (see ARCHITECTURE.md); the generator writes `def` lines only for the
callable types it knows, so method descriptors are added to them. Called by the build.
"""
import sys
import types

from nanobind import stubgen

_known = stubgen.StubGen.is_function


def _is_function(self, tp):
    return _known(self, tp) or issubclass(tp, types.MethodDescriptorType)


stubgen.StubGen.is_function = _is_function

if __name__ == "__main__":
    stubgen.main(sys.argv[1:])
