"""The module frame: initialisation, public surface, function objects and name resolution.

Tests that need the module's initialisation to run again use a child interpreter
(frame_support), since the module initialises once per process.
"""

import ast
import builtins
import ctypes
import decimal
import gc
import inspect
import os
import pickle
import platform
import re
import sys
import types
import weakref
from types import SimpleNamespace

import numpy
import pytest

from frame_support import run_python, run_python_for_json

FULL_NAME = "dravenholt.vexa.vexa"

# Everything the exec slot binds, in binding order.
EXEC_BINDINGS = ["__builtins__", "ctypes", "np", "Decimal", "getcontext", "os", "platform",
                 "__version__", "__author__", "D", "Vexa", "compute_ground_truth",
                 "verify_precision", "test", "__test__"]

CLASS_KEYS = ["__module__", "__doc__", "__init__", "_find_dll", "_load_dll", "_setup_functions",
              "version", "gemm_pair", "gemm", "gemm_decimal", "__dict__", "__weakref__"]

ARGS_AB = ("\n"
           "        Args:\n"
           "            A: Matrix of shape (M, K), float64\n"
           "            B: Matrix of shape (K, N), float64\n"
           "\n")

DOCSTRINGS = {
    "D": ("\n"
          "    Convert float to EXACT Decimal representation.\n"
          "\n"
          "    CRITICAL: Use from_float(), NOT str()!\n"
          "    - Decimal(str(1.1)) = 1.1 (loses bits!)\n"
          "    - Decimal.from_float(1.1) = 1.100000000000000088817... (exact!)\n"
          "    "),
    "compute_ground_truth": ("\n"
                             "    Compute exact GEMM result using Decimal arithmetic.\n"
                             "\n"
                             "    CRITICAL: Uses Decimal.from_float() for exact conversion.\n"
                             "\n"
                             "    Args:\n"
                             "        A, B: Input matrices (numpy float64)\n"
                             "\n"
                             "    Returns:\n"
                             "        2D list of Decimal objects with exact result\n"
                             "    "),
    "verify_precision": ("\n"
                         "    Verify Vexa achieves true quad precision.\n"
                         "\n"
                         "    Compares Vexa output against exact Decimal ground truth.\n"
                         "\n"
                         "    Args:\n"
                         "        K: Inner dimension (larger = more accumulation)\n"
                         "        M, N: Output matrix dimensions\n"
                         "        seed: Random seed for reproducibility\n"
                         "\n"
                         "    Returns:\n"
                         "        dict with precision metrics\n"
                         "    "),
    "test": "Quick test of Vexa functionality.",
    "Vexa.__init__": ("\n"
                      "        Initialize Vexa runtime.\n"
                      "\n"
                      "        Args:\n"
                      "            dll_path: Path to Vexa DLL/SO. Auto-detected if None.\n"
                      "        "),
    "Vexa._find_dll": "Find Vexa library in standard locations.",
    "Vexa._load_dll": "Load the Vexa DLL.",
    "Vexa._setup_functions": "Setup ctypes function signatures.",
    "Vexa.version": "Get Vexa version string.",
    "Vexa.gemm_pair": ("\n"
                       "        130-bit precision matrix multiply returning (hi, lo) pair.\n"
                       "\n"
                       "        The full precision result is: C = C_hi + C_lo (+ C_res for extra bits)\n"
                       + ARGS_AB +
                       "        Returns:\n"
                       "            (C_hi, C_lo): Tuple of matrices, each (M, N) float64\n"
                       "                         Full result: C_hi + C_lo with ~10^-31 precision\n"
                       "        "),
    "Vexa.gemm": ("\n"
                  "        Quad-precision matrix multiply returning single result.\n"
                  "\n"
                  "        Note: The returned float64 matrix only holds ~16 digits.\n"
                  "        For full ~32 digit precision, use gemm_pair() and combine\n"
                  "        using Decimal arithmetic.\n"
                  + ARGS_AB +
                  "        Returns:\n"
                  "            C: Matrix of shape (M, N), float64 (high part only)\n"
                  "        "),
    "Vexa.gemm_decimal": ("\n"
                          "        Quad-precision matrix multiply with Decimal output.\n"
                          "\n"
                          "        Returns the full ~32 digit precision result as Decimal objects.\n"
                          "        Slower but preserves all computed precision.\n"
                          + ARGS_AB +
                          "        Returns:\n"
                          "            C: 2D list of Decimal objects with full precision\n"
                          "        "),
}

SIGNATURES = {
    "D": "(x)", "compute_ground_truth": "(A, B)", "verify_precision": "(K=256, M=8, N=8, seed=42)",
    "test": "()", "Vexa.__init__": "(self, dll_path=None)", "Vexa._find_dll": "(self)",
    "Vexa._load_dll": "(self, path)", "Vexa._setup_functions": "(self)", "Vexa.version": "(self)",
    "Vexa.gemm_pair": "(self, A, B)", "Vexa.gemm": "(self, A, B)",
    "Vexa.gemm_decimal": "(self, A, B)",
}

DEFAULTS = {"verify_precision": (256, 8, 8, 42), "Vexa.__init__": (None,)}


def function_at(module, qualname):
    if qualname == "Vexa.version":
        return module.Vexa.version.fget
    target = module
    for part in qualname.split("."):
        target = getattr(target, part)
    return target


# ---- the module object ----

def test_module_attributes_bind_in_order(vexa_module):
    names = run_python_for_json(vexa_module, f"""
        import json, {FULL_NAME} as module
        print(json.dumps(list(vars(module))))
    """)
    assert names[names.index("__builtins__"):] == EXEC_BINDINGS
    assert set(names[:names.index("__builtins__")]) == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_module_values(vexa_module):
    m = vexa_module
    assert m.__builtins__ is builtins
    assert (m.ctypes, m.np, m.os, m.platform) == (ctypes, numpy, os, platform)
    assert m.Decimal is decimal.Decimal and m.getcontext is decimal.getcontext
    assert m.__version__ == "2.0.0" and type(m.__version__) is str
    assert "Dravenholt" in m.__author__
    assert m.__test__ == {} and type(m.__test__) is dict
    assert m.__name__ == FULL_NAME and m.__package__ == "dravenholt.vexa"
    assert m.__file__ == m.__spec__.origin and m.__loader__ is m.__spec__.loader
    assert not hasattr(m, "__path__")
    assert sys.modules[FULL_NAME] is m


def test_module_docstring(vexa_module):
    lines = vexa_module.__doc__.split("\n")
    title = lines.index("Vexa \u2014 130-Bit Precision GPU Runtime Python Wrapper")
    assert lines[title + 1] == "=" * 52
    for expected in ["130-bit precision (exceeds IEEE FP128) matrix multiplication on GPU.",
                     "Achieves 10^15-10^16x improvement over standard FP64.",
                     "API versions:", "Usage:", "Precision Verification:",
                     "Date: February 2026"]:
        assert expected in lines
    text = vexa_module.__doc__
    assert "vexa_gemm_host(A, B, C_hi, C_lo, C_res, M, N, K)" in text
    assert "vexa_gemm_host_106(A, B, C_hi, C_lo, M, N, K)" in text
    assert "C = q.gemm(A, B)" in text and "C_hi, C_lo = q.gemm_pair(A, B)" in text
    assert "verify_precision(K=256)" in text
    assert any(line.startswith("Author:") and "Dravenholt" in line for line in lines)
    assert not any(line.startswith(" ") for line in lines[:title + 2])


# ---- function objects ----

@pytest.mark.parametrize("qualname", sorted(SIGNATURES))
def test_function_attributes(vexa_module, qualname):
    function = function_at(vexa_module, qualname)
    assert function.__name__ == qualname.rpartition(".")[2]
    assert function.__qualname__ == qualname
    assert function.__module__ == FULL_NAME
    assert function.__doc__ == DOCSTRINGS[qualname]
    assert function.__defaults__ == DEFAULTS.get(qualname)
    signature = inspect.signature(function)
    assert str(signature) == SIGNATURES[qualname]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in signature.parameters.values())
    assert re.fullmatch(rf"<function {re.escape(qualname)} at 0x[0-9a-fA-F]+>", repr(function))
    assert callable(function) and function.__globals__ is vars(vexa_module)


def test_defaults_are_exact_values(vexa_module):
    defaults = vexa_module.verify_precision.__defaults__
    assert [type(value) for value in defaults] == [int] * 4
    assert vexa_module.Vexa.__init__.__defaults__[0] is None


def test_methods_bind_like_python_functions(vexa_module):
    Vexa = vexa_module.Vexa
    instance = Vexa.__new__(Vexa)
    function = Vexa.__dict__["gemm_pair"]
    assert Vexa.gemm_pair is function
    bound = instance.gemm_pair
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is function and bound.__self__ is instance
    assert str(inspect.signature(bound)) == "(A, B)"
    assert str(inspect.signature(Vexa)) == "(dll_path=None)"
    assert function.__get__(None, Vexa) is function


def test_function_objects_have_a_dict_and_weakrefs(vexa_module):
    function = vexa_module.compute_ground_truth
    function.note = "kept"
    try:
        assert function.__dict__ == {"note": "kept"}
    finally:
        del function.note
    assert weakref.ref(function)() is function


def test_function_objects_pickle_by_reference(vexa_module):
    for function in (vexa_module.D, vexa_module.Vexa.gemm_pair):
        assert pickle.loads(pickle.dumps(function)) is function


def test_function_objects_are_gc_tracked_and_report_globals(vexa_module):
    assert gc.is_tracked(vexa_module.D)
    assert any(referent is vars(vexa_module) for referent in gc.get_referents(vexa_module.D))


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_must_be_strings(vexa_module, attribute):
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        setattr(vexa_module.test, attribute, 1)
    assert getattr(vexa_module.test, attribute) == "test"


def test_signature_follows_changed_defaults(vexa_module):
    function = vexa_module.verify_precision
    saved = function.__defaults__
    function.__defaults__ = (1, 2)
    try:
        assert str(inspect.signature(function)) == "(K, M, N=1, seed=2)"
    finally:
        function.__defaults__ = saved


# ---- the class ----

def test_class_shape(vexa_module):
    Vexa = vexa_module.Vexa
    assert type(Vexa) is type and Vexa.__bases__ == (object,)
    assert (Vexa.__name__, Vexa.__qualname__, Vexa.__module__) == ("Vexa", "Vexa", FULL_NAME)
    assert Vexa.__doc__ == ("\n"
                            "    Vexa Quad-Precision GEMM Runtime\n"
                            "\n"
                            "    Provides true ~10^-31 precision matrix multiplication using\n"
                            "    Error-Free Transformations (EFT) on GPU.\n"
                            "    ")
    assert list(Vexa.__dict__) == CLASS_KEYS
    instance = Vexa.__new__(Vexa)
    instance.extra = 1
    assert vars(instance) == {"extra": 1}
    assert weakref.ref(instance)() is instance


def test_version_is_a_read_only_property(vexa_module):
    Vexa = vexa_module.Vexa
    version = Vexa.__dict__["version"]
    assert type(version) is property and Vexa.version is version
    assert version.__doc__ == "Get Vexa version string."
    assert version.fset is None and version.fdel is None
    assert version.fget.__qualname__ == "Vexa.version"
    instance = Vexa.__new__(Vexa)
    with pytest.raises(AttributeError):
        instance.version = "x"
    with pytest.raises(AttributeError):
        del instance.version


# ---- name resolution and unpacking ----

class FromFloatStandIn:
    @staticmethod
    def from_float(value):
        return ("stand-in", value)


def test_rebinding_a_global_changes_later_calls(vexa_module, monkeypatch):
    monkeypatch.setattr(vexa_module, "Decimal", FromFloatStandIn)
    assert vexa_module.D(0.5) == ("stand-in", 0.5)


def test_a_global_missing_everywhere_raises_name_error(vexa_module, monkeypatch):
    monkeypatch.delattr(vexa_module, "Decimal")
    with pytest.raises(NameError) as caught:
        vexa_module.D(0.5)
    assert str(caught.value) == "name 'Decimal' is not defined"


def test_builtins_stand_behind_the_globals(vexa_module, monkeypatch):
    monkeypatch.delattr(vexa_module, "Decimal")
    monkeypatch.setattr(builtins, "Decimal", FromFloatStandIn, raising=False)
    assert vexa_module.D(0.25) == ("stand-in", 0.25)


class Sentinel(Exception):
    pass


def test_rebinding_np_changes_later_calls(vexa_module, monkeypatch):
    def refuse(*args, **kwargs):
        raise Sentinel(args)
    monkeypatch.setattr(vexa_module, "np",
                        SimpleNamespace(ascontiguousarray=refuse, float64="float64 stand-in"))
    instance = vexa_module.Vexa.__new__(vexa_module.Vexa)
    with pytest.raises(Sentinel) as caught:
        instance.gemm_pair("A", "B")
    assert caught.value.args == (("A",),)


def _broken_iterator():
    yield 3
    raise Sentinel("mid-way")


@pytest.mark.parametrize("shape, error, message", [
    ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    ([1, 2, 3], ValueError, "too many values to unpack (expected 2)"),
    ((5,), ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    (iter([1, 2, 3]), ValueError, "too many values to unpack (expected 2)"),
    (iter([7]), ValueError, "need more than 1 value to unpack"),
    (iter([]), ValueError, "need more than 0 values to unpack"),
    (_broken_iterator(), Sentinel, "mid-way"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_unpacking_messages(vexa_module, shape, error, message):
    # compute_ground_truth unpacks A.shape right after setting the precision.
    with decimal.localcontext():
        with pytest.raises(error) as caught:
            vexa_module.compute_ground_truth(SimpleNamespace(shape=shape), None)
    assert str(caught.value) == message


# ---- initialisation, in child interpreters ----

def test_import_prints_nothing_and_keeps_the_decimal_context(vexa_module):
    completed = run_python(vexa_module, f"""
        import decimal, sys
        decimal.getcontext().prec = 33
        import {FULL_NAME}
        sys.exit(0 if decimal.getcontext().prec == 33 else 3)
    """)
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, "", "")
    default = run_python_for_json(vexa_module, f"""
        import decimal, {FULL_NAME}
        print(decimal.getcontext().prec)
    """)
    assert default == 28


def test_no_version_warning_on_the_interpreter_it_was_built_for(vexa_module):
    # One build per interpreter version: where it was built, compile and run time agree.
    warned = run_python_for_json(vexa_module, f"""
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import {FULL_NAME}
        print(json.dumps([str(warning.message) for warning in caught
                          if issubclass(warning.category, RuntimeWarning)]))
    """)
    assert warned == []


def test_reimport_and_reload_return_the_same_module_with_changes_kept(vexa_module):
    result = run_python_for_json(vexa_module, f"""
        import decimal, importlib, json, sys
        import {FULL_NAME} as first
        first.np = "rebound"
        first.__version__ = "changed"
        del sys.modules["{FULL_NAME}"]
        second = importlib.import_module("{FULL_NAME}")
        third = importlib.reload(second)
        del sys.modules["{FULL_NAME}"]
        fourth = importlib.import_module("{FULL_NAME}")
        kept = first.np
        first.np = sys.modules["numpy"]
        # The module's functions still work: what they keep survived the imports.
        works = [str(fourth.D(0.1)) == str(decimal.Decimal(0.1)),
                 fourth.compute_ground_truth(first.np.array([[0.5]]), first.np.array([[0.5]]))
                 == [[decimal.Decimal("0.25")]]]
        print(json.dumps([second is first, third is first, fourth is first,
                          sys.modules["{FULL_NAME}"] is first, kept, first.__version__, works]))
    """)
    assert result == [True, True, True, True, "rebound", "changed", [True, True]]


def test_exec_of_a_second_module_object_is_refused(vexa_module):
    result = run_python_for_json(vexa_module, f"""
        import json
        spec = importlib.util.find_spec("{FULL_NAME}")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
            outcome = None
        except RuntimeError as error:
            outcome = str(error)
        spec.loader.exec_module(first)  # the initialised one: nothing runs again
        print(json.dumps([first is not second, outcome, sys.modules["{FULL_NAME}"] is first,
                          hasattr(second, "D")]))
    """, stub_parents=True)
    assert result == [True, "Module 'vexa' has already been imported. Re-initialisation is not "
                            "supported.", True, False]


SUBINTERPRETER_IMPORT = """
import json, sys
# With numpy unimportable, an error raised from numpy would be a ModuleNotFoundError.
sys.modules["numpy"] = None
try:
    import dravenholt.vexa.vexa
    outcome = None
except ImportError as error:
    outcome = [type(error).__name__, str(error)]
# Only the blocking entry itself: no part of numpy was imported.
numpy_modules = sorted(name for name in sys.modules if name.startswith("numpy"))
with open(REPORT, "w") as stream:
    json.dump([outcome, numpy_modules, sys.modules["numpy"] is None,
               "dravenholt.vexa.vexa" in sys.modules], stream)
"""


def test_subinterpreter_import_is_refused_by_the_module_itself(vexa_module, tmp_path):
    report = str(tmp_path / "subinterpreter.json")
    code = SUBINTERPRETER_IMPORT.replace("REPORT", repr(report))
    result = run_python_for_json(vexa_module, f"""
        import json
        try:
            import _interpreters as interpreters
            config = {{"config": "legacy"}}
        except ImportError:
            import _xxsubinterpreters as interpreters
            config = {{"isolated": False}}
        import {FULL_NAME}
        # A subinterpreter that shares the GIL: one with its own GIL refuses every module
        # that does not declare support for it, before the module itself is asked.
        interpreter = interpreters.create(**config)
        interpreters.run_string(interpreter, {code!r})
        interpreters.destroy(interpreter)
        print(open({report!r}).read())
    """)
    assert result == [["ImportError", "Interpreter change detected - this module can only be "
                                      "loaded into one interpreter per process."],
                      ["numpy"], True, False]


def test_failed_import_releases_the_module_for_a_fresh_start(vexa_module):
    result = run_python_for_json(vexa_module, f"""
        import json, traceback
        sys.modules["numpy"] = None
        try:
            import {FULL_NAME}
            failure = None
        except ImportError as error:
            failure = [type(error).__name__,
                       [[frame.name, frame.filename, frame.lineno]
                        for frame in traceback.extract_tb(error.__traceback__)]]
        left_behind = "{FULL_NAME}" in sys.modules
        del sys.modules["numpy"]
        module = importlib.import_module("{FULL_NAME}")
        print(json.dumps([failure, left_behind, module.__test__ == {{}},
                          module.np is sys.modules["numpy"]]))
    """, stub_parents=True)
    failure, left_behind, *fresh = result
    assert failure[0] == "ModuleNotFoundError"
    name, filename, line = failure[1][-1]
    assert name == "init dravenholt.vexa.vexa" and filename == "extension/module.cpp"
    assert line > 0
    assert not left_behind and fresh == [True, True]


MAIN_BRANCH = f"""
    import contextlib, io, json, os, traceback
    spec = importlib.util.find_spec("{FULL_NAME}")
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    output = io.StringIO()
    failure = None
    with contextlib.redirect_stdout(output):
        try:
            spec.loader.exec_module(module)
        except Exception as error:
            failure = [type(error).__name__, str(error),
                       [frame.name for frame in traceback.extract_tb(error.__traceback__)]]
    result = {{"failure": failure, "output": output.getvalue(),
              "bound": sorted(set(vars(module)) & {{"test", "__test__"}})}}
"""


def test_main_branch_runs_test_and_a_failure_releases_the_module(vexa_module):
    # With no runtime to be found, test() fails; the same call made afterwards through a
    # normal import must fail the same way, proving that init called test().
    result = run_python_for_json(vexa_module, MAIN_BRANCH.replace(
        "    output = io.StringIO()",
        "    os.path.exists = lambda path: False\n    output = io.StringIO()") + f"""
    del sys.modules["{FULL_NAME}"]
    fresh = importlib.import_module("{FULL_NAME}")
    direct = io.StringIO()
    with contextlib.redirect_stdout(direct):
        try:
            fresh.test()
            result["direct"] = None
        except Exception as error:
            result["direct"] = [type(error).__name__, str(error)]
    result["direct_output"] = direct.getvalue()
    result["fresh"] = [fresh is not module, fresh.__test__ == {{}}, fresh.__name__]
    print(json.dumps(result))
    """, stub_parents=True)
    failure = result["failure"]
    assert failure is not None and failure[:2] == result["direct"]
    assert "init dravenholt.vexa.vexa" in failure[2]
    assert result["output"] == result["direct_output"]
    assert result["bound"] == ["test"]
    assert result["fresh"] == [True, True, FULL_NAME]


def test_main_branch_runs_the_self_test_once(vexa_module):
    library = os.path.join(os.path.dirname(vexa_module.__file__), "libvexa.so")
    if not os.path.exists(library):
        pytest.skip("no runtime beside the built module")
    result = run_python_for_json(vexa_module, MAIN_BRANCH + """
    print(json.dumps(result))
    """, stub_parents=True, timeout=300)
    assert result["failure"] is None, result["failure"]
    assert result["output"].count("Vexa Quick Test") == 1
    assert result["output"].startswith("Vexa Quick Test\n" + "=" * 50 + "\nVersion: ")
    assert result["bound"] == ["__test__", "test"]


# ---- the type stub ----

def _stub_signature(function_node):
    arguments = function_node.args
    names = [argument.arg for argument in arguments.args]
    defaults = [ast.literal_eval(node) for node in arguments.defaults]
    assert not (arguments.vararg or arguments.kwarg or arguments.kwonlyargs
                or arguments.posonlyargs)
    padded = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
    return list(zip(names, padded))


def test_stub_matches_the_module(vexa_module):
    stub_path = os.path.join(os.path.dirname(vexa_module.__file__), "vexa.pyi")
    if not os.path.exists(stub_path):
        pytest.skip("the stub is not installed beside the module")
    with open(stub_path, encoding="utf-8") as stream:
        tree = ast.parse(stream.read())
    stubbed = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            stubbed[node.name] = node
        elif isinstance(node, ast.ClassDef) and node.name == "Vexa":
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    stubbed["Vexa." + member.name] = member
    assert set(stubbed) == set(SIGNATURES)
    for qualname, node in stubbed.items():
        signature = inspect.signature(function_at(vexa_module, qualname))
        expected = [(p.name, p.default) for p in signature.parameters.values()]
        assert _stub_signature(node) == expected, qualname
    assigned = {target.id for node in tree.body if isinstance(node, ast.AnnAssign)
                for target in [node.target]}
    assert {"__version__", "__author__", "__test__"} <= assigned
