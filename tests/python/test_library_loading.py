"""Vexa construction (search, load, declare) and the version property."""

import ctypes
import os
import shutil
from types import SimpleNamespace

import pytest

ATTRIBUTE_ORDER = ["_lib", "_path", "_P_D", "_P_F", "_I"]
GEMM_ARGUMENT_TYPES = [ctypes.POINTER(ctypes.c_double)] * 4 + [ctypes.POINTER(ctypes.c_float)] + \
    [ctypes.c_int] * 3


@pytest.fixture
def searching_subclass(vexa_module):
    """A Vexa whose search is replaced, counting how often construction asks for it."""

    def make(found):
        class Searching(vexa_module.Vexa):
            searches = 0

            def _find_dll(self):
                type(self).searches += 1
                if isinstance(found, Exception):
                    raise found
                return found

        return Searching

    return make


@pytest.mark.parametrize("construct", [
    lambda cls: cls(), lambda cls: cls(None), lambda cls: cls(dll_path=None)])
def test_missing_path_searches(searching_subclass, fake_runtime, construct):
    cls = searching_subclass(fake_runtime.path)
    instance = construct(cls)
    assert cls.searches == 1
    assert instance._path == fake_runtime.path


@pytest.mark.parametrize("construct", [
    lambda cls, path: cls(path), lambda cls, path: cls(dll_path=path)])
def test_given_path_skips_search(searching_subclass, fake_runtime, construct):
    cls = searching_subclass(AssertionError("searched although a path was given"))
    assert construct(cls, fake_runtime.path)._path == fake_runtime.path
    assert cls.searches == 0


def test_empty_path_is_a_path_not_a_request_to_search(searching_subclass):
    cls = searching_subclass(AssertionError("searched although a path was given"))
    # CDLL("") opens the main program, which lacks the native functions.
    with pytest.raises(AttributeError, match="vexa_gemm_host"):
        cls("")
    assert cls.searches == 0


def test_constructed_state_and_declarations(vexa_module, fake_runtime):
    vexa = vexa_module.Vexa(fake_runtime.path)
    assert list(vars(vexa)) == ATTRIBUTE_ORDER
    assert isinstance(vexa._lib, ctypes.CDLL)
    assert vexa._P_D is ctypes.POINTER(ctypes.c_double)
    assert vexa._P_F is ctypes.POINTER(ctypes.c_float)
    assert vexa._I is ctypes.c_int
    assert vexa._lib.vexa_gemm_host.argtypes == GEMM_ARGUMENT_TYPES
    assert vexa._lib.vexa_gemm_host.restype is ctypes.c_int
    assert vexa._lib.vexa_version.restype is ctypes.c_char_p
    assert vexa._lib.vexa_version.argtypes is None


def test_each_instance_loads_its_own_library_object(vexa_module, fake_runtime):
    first, second = vexa_module.Vexa(fake_runtime.path), vexa_module.Vexa(fake_runtime.path)
    assert first._lib is not second._lib
    assert first._lib.vexa_gemm_host is not second._lib.vexa_gemm_host
    assert first.version == second.version == "fake-runtime 0.1"


class TestPathKeptAsGiven:
    def test_absolute(self, vexa_module, fake_runtime):
        assert os.path.isabs(fake_runtime.path)
        assert vexa_module.Vexa(fake_runtime.path)._path == fake_runtime.path

    def test_relative(self, vexa_module, fake_runtime, monkeypatch):
        directory, name = os.path.split(fake_runtime.path)
        monkeypatch.chdir(directory)
        relative = os.path.join(".", name)
        vexa = vexa_module.Vexa(relative)
        assert vexa._path == relative
        assert vexa.version == "fake-runtime 0.1"

    def test_found_in_working_directory(self, vexa_module, fake_runtime, monkeypatch, tmp_path):
        shutil.copy(fake_runtime.path, tmp_path / "libvexa.so")
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(vexa_module, "__file__", str(tmp_path / "elsewhere" / "vexa.so"))
        vexa = vexa_module.Vexa()
        assert vexa._path == "./libvexa.so"
        assert vexa.version == "fake-runtime 0.1"


class TestFailuresLeaveCompletedSteps:
    @staticmethod
    def half_built(vexa_module, path, expected_error):
        instance = vexa_module.Vexa.__new__(vexa_module.Vexa)
        with pytest.raises(expected_error) as raised:
            instance.__init__(path)
        return instance, raised.value

    def test_unloadable_path(self, vexa_module, tmp_path):
        instance, _ = self.half_built(vexa_module, str(tmp_path / "missing.so"), OSError)
        assert vars(instance) == {}

    def test_missing_gemm_entry_point(self, vexa_module, fake_runtime_builds):
        instance, error = self.half_built(vexa_module, fake_runtime_builds.no_gemm, AttributeError)
        assert "vexa_gemm_host" in str(error)
        assert list(vars(instance)) == ["_lib", "_path"]

    def test_missing_version_entry_point(self, vexa_module, fake_runtime_builds):
        instance, error = self.half_built(vexa_module, fake_runtime_builds.no_version,
                                          AttributeError)
        assert "vexa_version" in str(error)
        assert list(vars(instance)) == ["_lib", "_path"]
        assert instance._lib.vexa_gemm_host.argtypes == GEMM_ARGUMENT_TYPES
        assert instance._lib.vexa_gemm_host.restype is ctypes.c_int


def test_construction_steps_go_through_the_instance(vexa_module, fake_runtime):
    steps = []

    class Recording(vexa_module.Vexa):
        def _load_dll(self, path):
            steps.append(("load", path))
            super()._load_dll(path)

        def _setup_functions(self):
            steps.append(("setup",))

    vexa = Recording(fake_runtime.path)
    assert steps == [("load", fake_runtime.path), ("setup",)]
    assert list(vars(vexa)) == ["_lib", "_path"]


def test_load_uses_the_ctypes_global_at_call_time(vexa_module, monkeypatch):
    opened = []
    def fake_cdll(path):
        opened.append(path)
        return "handle"

    monkeypatch.setattr(vexa_module, "ctypes", SimpleNamespace(CDLL=fake_cdll))
    instance = vexa_module.Vexa.__new__(vexa_module.Vexa)
    assert instance._load_dll(path="some/where.so") is None
    assert opened == ["some/where.so"]
    assert vars(instance) == {"_lib": "handle", "_path": "some/where.so"}


def test_reloading_replaces_library_and_path(vexa_module, fake_runtime, fake_runtime_builds):
    vexa = vexa_module.Vexa(fake_runtime.path)
    first_lib = vexa._lib
    vexa._load_dll(fake_runtime_builds.no_version)
    assert vexa._lib is not first_lib
    assert vexa._path == fake_runtime_builds.no_version


class TestVersion:
    def test_reads_the_native_string_on_every_access(self, vexa_module, fake_runtime):
        vexa = vexa_module.Vexa(fake_runtime.path)
        assert fake_runtime.version_calls() == 0
        assert [vexa.version for _ in range(3)] == ["fake-runtime 0.1"] * 3
        assert fake_runtime.version_calls() == 3

    def test_null_pointer(self, vexa_module, fake_runtime):
        vexa = vexa_module.Vexa(fake_runtime.path)
        fake_runtime.set_version_mode("null")
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'decode'"):
            vexa.version

    def test_invalid_utf8(self, vexa_module, fake_runtime):
        vexa = vexa_module.Vexa(fake_runtime.path)
        fake_runtime.set_version_mode("invalid_utf8")
        with pytest.raises(UnicodeDecodeError):
            vexa.version

    def test_read_only(self, vexa_module, fake_runtime):
        vexa = vexa_module.Vexa(fake_runtime.path)
        with pytest.raises(AttributeError):
            vexa.version = "2.0.0"


def test_real_runtime_is_found_beside_the_module(vexa_module):
    vexa = vexa_module.Vexa()
    assert vexa._path == os.path.join(os.path.dirname(vexa_module.__file__), "libvexa.so")
    assert vexa.version.startswith("2.0.0")
