"""The package's own handle on libvexa, beside the package, loaded once per process.

The extension module's ``Vexa`` loads the library per instance and declares only the
product and the version. The package-level functions (``gemm_triple``, the thread count,
the kernel list) share this one handle instead, with every entry point declared. The
dynamic loader hands both the same copy of the library, so a thread count set here
governs ``Vexa`` products too.
"""

import ctypes
import os
import sys
import threading

__all__ = ["library", "library_path"]

_lock = threading.Lock()
_library = None


def library_path():
    """Path of the libvexa file beside this package (it need not exist)."""
    name = "libvexa.dll" if sys.platform == "win32" else "libvexa.so"
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), name)


def _declare(lib):
    double_p = ctypes.POINTER(ctypes.c_double)
    float_p = ctypes.POINTER(ctypes.c_float)
    pointers = ctypes.POINTER(ctypes.c_void_p)
    signatures = {
        "vexa_gemm_host": (ctypes.c_int, [double_p, double_p, double_p, double_p, float_p,
                                          ctypes.c_int, ctypes.c_int, ctypes.c_int]),
        "vexa_gemm_host_106": (ctypes.c_int, [double_p, double_p, double_p, double_p,
                                              ctypes.c_int, ctypes.c_int, ctypes.c_int]),
        "vexa_gemm_batch_106": (ctypes.c_int, [pointers, pointers, pointers, pointers,
                                               ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                               ctypes.c_int]),
        "vexa_gemm_host_f64res": (ctypes.c_int, [double_p, double_p, double_p, double_p,
                                                 double_p, ctypes.c_int, ctypes.c_int,
                                                 ctypes.c_int]),
        "vexa_gemm_host_threads": (ctypes.c_int, [double_p, double_p, double_p, double_p,
                                                  float_p, ctypes.c_int, ctypes.c_int,
                                                  ctypes.c_int, ctypes.c_int]),
        "vexa_gemm_host_f64res_threads": (ctypes.c_int, [double_p, double_p, double_p,
                                                         double_p, double_p, ctypes.c_int,
                                                         ctypes.c_int, ctypes.c_int,
                                                         ctypes.c_int]),
        "vexa_version": (ctypes.c_char_p, []),
        "vexa_set_num_threads": (ctypes.c_int, [ctypes.c_int]),
        "vexa_get_num_threads": (ctypes.c_int, []),
        "vexa_max_threads": (ctypes.c_int, []),
        "vexa_kernel_count": (ctypes.c_int, []),
        "vexa_kernel_name": (ctypes.c_char_p, [ctypes.c_int]),
        "vexa_kernel_supported": (ctypes.c_int, [ctypes.c_int]),
        "vexa_kernel_active": (ctypes.c_int, []),
        "vexa_cpu_features": (ctypes.c_char_p, []),
        "vexa_release_workspace": (ctypes.c_int, []),
        "vexa_workspace_parked_bytes": (ctypes.c_size_t, []),
        "vexa_workspace_keep_limit": (ctypes.c_size_t, []),
        "vexa_last_phase_seconds": (ctypes.c_int, [double_p, ctypes.c_int]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def library():
    """The loaded libvexa with all its entry points declared.

    Raises
    ------
    FileNotFoundError
        When no libvexa lies beside the package.
    OSError
        When the loader cannot load it.
    AttributeError
        When it lacks one of the entry points (an older build).
    """
    global _library
    with _lock:
        if _library is None:
            path = library_path()
            if not os.path.exists(path):
                raise FileNotFoundError(f"libvexa not found beside the package: {path}")
            lib = ctypes.CDLL(path)
            _declare(lib)
            _library = lib
        return _library
