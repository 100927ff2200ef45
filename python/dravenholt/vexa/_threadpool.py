"""libvexa as a thread pool that threadpoolctl can see and limit.

``register()`` is called when the package is imported; it does nothing when threadpoolctl
is not installed. threadpoolctl finds libraries among those the process has loaded, so it
lists libvexa from the first product (or thread-count call) on, as it lists a BLAS library
once numpy has loaded it. Registering loads nothing: an import never touches native code.
"""

import ctypes

__all__ = ["register"]


def _controller_class(LibController):
    class VexaController(LibController):
        """threadpoolctl's view of libvexa: its thread count, version and kernel."""

        user_api = "vexa"
        internal_api = "vexa"
        filename_prefixes = ("libvexa",)
        check_symbols = ("vexa_get_num_threads", "vexa_set_num_threads")

        def get_num_threads(self):
            return self.dynlib.vexa_get_num_threads()

        def set_num_threads(self, num_threads):
            # threadpoolctl may pass any positive count; libvexa caps it at 1024 itself.
            count = max(1, min(int(num_threads), 2147483647))
            return self.dynlib.vexa_set_num_threads(count)

        # threadpoolctl builds a controller for every library whose name matches before
        # it checks check_symbols, so these two must cope with an unrelated libvexa*.
        def get_version(self):
            version = getattr(self.dynlib, "vexa_version", None)
            if version is None:
                return None
            version.restype = ctypes.c_char_p
            return version().decode().split(" ", 1)[0]

        def set_additional_attributes(self):
            name = getattr(self.dynlib, "vexa_kernel_name", None)
            active = getattr(self.dynlib, "vexa_kernel_active", None)
            self.kernel = None
            if name is not None and active is not None:
                name.restype = ctypes.c_char_p
                name.argtypes = [ctypes.c_int]
                self.kernel = name(active()).decode()

    return VexaController


def register():
    """Make libvexa known to threadpoolctl, if threadpoolctl is installed.

    Returns
    -------
    type or None
        The registered controller class, or None without threadpoolctl.
    """
    try:
        import threadpoolctl
    except ImportError:
        return None
    controller = _controller_class(threadpoolctl.LibController)
    threadpoolctl.register(controller)
    return controller
