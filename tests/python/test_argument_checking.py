"""Argument checking of every function and method: the exact TypeError texts.

Every wrong call is rejected before the function's body runs, so none of these calls
needs the native runtime. Methods are called on an instance made without __init__.
"""

import ctypes
import inspect
import sys
from decimal import Decimal

import pytest


@pytest.fixture(scope="module")
def instance(vexa_module):
    return vexa_module.Vexa.__new__(vexa_module.Vexa)


# (label, how to call it, expected message). `m` is the module, `v` an instance.
WRONG_CALLS = [
    # D(x)
    ("D no args", lambda m, v: m.D(), "D() takes exactly 1 positional argument (0 given)"),
    ("D two args", lambda m, v: m.D(1, 2), "D() takes exactly 1 positional argument (2 given)"),
    ("D only unknown keyword", lambda m, v: m.D(y=1),
     "D() takes exactly 1 positional argument (0 given)"),
    ("D twice", lambda m, v: m.D(1, x=2), "D() got multiple values for keyword argument 'x'"),
    ("D unknown keyword", lambda m, v: m.D(1, y=2), "D() got an unexpected keyword argument 'y'"),
    ("D keyword and unknown", lambda m, v: m.D(x=1, y=2),
     "D() got an unexpected keyword argument 'y'"),
    # compute_ground_truth(A, B)
    ("cgt no args", lambda m, v: m.compute_ground_truth(),
     "compute_ground_truth() takes exactly 2 positional arguments (0 given)"),
    ("cgt one arg", lambda m, v: m.compute_ground_truth(1),
     "compute_ground_truth() takes exactly 2 positional arguments (1 given)"),
    ("cgt three args", lambda m, v: m.compute_ground_truth(1, 2, 3),
     "compute_ground_truth() takes exactly 2 positional arguments (3 given)"),
    ("cgt only A by keyword", lambda m, v: m.compute_ground_truth(A=1),
     "compute_ground_truth() takes exactly 2 positional arguments (1 given)"),
    ("cgt only B by keyword", lambda m, v: m.compute_ground_truth(B=1),
     "compute_ground_truth() takes exactly 2 positional arguments (0 given)"),
    ("cgt missing beats repeated", lambda m, v: m.compute_ground_truth(1, A=2),
     "compute_ground_truth() takes exactly 2 positional arguments (1 given)"),
    ("cgt A twice", lambda m, v: m.compute_ground_truth(1, 2, A=3),
     "compute_ground_truth() got multiple values for keyword argument 'A'"),
    ("cgt unknown", lambda m, v: m.compute_ground_truth(1, B=2, C=3),
     "compute_ground_truth() got an unexpected keyword argument 'C'"),
    # verify_precision(K=256, M=8, N=8, seed=42)
    ("vp five args", lambda m, v: m.verify_precision(1, 2, 3, 4, 5),
     "verify_precision() takes at most 4 positional arguments (5 given)"),
    ("vp five args and keyword", lambda m, v: m.verify_precision(1, 2, 3, 4, 5, K=1),
     "verify_precision() takes at most 4 positional arguments (5 given)"),
    ("vp K twice", lambda m, v: m.verify_precision(1, K=2),
     "verify_precision() got multiple values for keyword argument 'K'"),
    ("vp K twice after M", lambda m, v: m.verify_precision(1, 2, seed=1, K=3),
     "verify_precision() got multiple values for keyword argument 'K'"),
    ("vp unknown", lambda m, v: m.verify_precision(L=1),
     "verify_precision() got an unexpected keyword argument 'L'"),
    ("vp first offender wins", lambda m, v: m.verify_precision(1, X=1, K=2),
     "verify_precision() got an unexpected keyword argument 'X'"),
    # test()
    ("test one arg", lambda m, v: m.test(1), "test() takes no arguments (1 given)"),
    ("test two args", lambda m, v: m.test(1, 2), "test() takes no arguments (2 given)"),
    ("test keyword", lambda m, v: m.test(x=1), "test() takes no keyword arguments"),
    ("test keyword beats positional", lambda m, v: m.test(1, x=1),
     "test() takes no keyword arguments"),
    # Vexa.__init__(self, dll_path=None)
    ("init three", lambda m, v: m.Vexa(1, 2),
     "__init__() takes at most 2 positional arguments (3 given)"),
    ("init unbound none", lambda m, v: m.Vexa.__init__(),
     "__init__() takes at least 1 positional argument (0 given)"),
    ("init unknown", lambda m, v: m.Vexa(path="x"),
     "__init__() got an unexpected keyword argument 'path'"),
    ("init twice", lambda m, v: m.Vexa("x", dll_path="y"),
     "__init__() got multiple values for keyword argument 'dll_path'"),
    # Vexa._find_dll(self), Vexa._setup_functions(self)
    ("find_dll extra", lambda m, v: v._find_dll(1),
     "_find_dll() takes exactly 1 positional argument (2 given)"),
    ("find_dll unbound", lambda m, v: m.Vexa._find_dll(),
     "_find_dll() takes exactly 1 positional argument (0 given)"),
    ("find_dll keyword", lambda m, v: v._find_dll(x=1),
     "_find_dll() got an unexpected keyword argument 'x'"),
    ("setup extra", lambda m, v: v._setup_functions(1),
     "_setup_functions() takes exactly 1 positional argument (2 given)"),
    ("setup self twice", lambda m, v: v._setup_functions(self=1),
     "_setup_functions() got multiple values for keyword argument 'self'"),
    # Vexa._load_dll(self, path)
    ("load_dll none", lambda m, v: v._load_dll(),
     "_load_dll() takes exactly 2 positional arguments (1 given)"),
    ("load_dll three", lambda m, v: v._load_dll(1, 2),
     "_load_dll() takes exactly 2 positional arguments (3 given)"),
    ("load_dll twice", lambda m, v: v._load_dll(1, path=2),
     "_load_dll() got multiple values for keyword argument 'path'"),
    ("load_dll unknown", lambda m, v: v._load_dll(dll_path=1),
     "_load_dll() takes exactly 2 positional arguments (1 given)"),
    # version getter
    ("version getter none", lambda m, v: m.Vexa.version.fget(),
     "version() takes exactly 1 positional argument (0 given)"),
    ("version getter two", lambda m, v: m.Vexa.version.fget(v, 1),
     "version() takes exactly 1 positional argument (2 given)"),
    # gemm_pair / gemm / gemm_decimal (self, A, B)
    ("gemm_pair unbound one", lambda m, v: m.Vexa.gemm_pair(v),
     "gemm_pair() takes exactly 3 positional arguments (1 given)"),
    ("gemm_pair unbound none", lambda m, v: m.Vexa.gemm_pair(),
     "gemm_pair() takes exactly 3 positional arguments (0 given)"),
    ("gemm_pair bound one", lambda m, v: v.gemm_pair(1),
     "gemm_pair() takes exactly 3 positional arguments (2 given)"),
    ("gemm_pair bound three", lambda m, v: v.gemm_pair(1, 2, 3),
     "gemm_pair() takes exactly 3 positional arguments (4 given)"),
    ("gemm_pair self twice", lambda m, v: v.gemm_pair(1, 2, self=3),
     "gemm_pair() got multiple values for keyword argument 'self'"),
    ("gemm only A", lambda m, v: v.gemm(A=1),
     "gemm() takes exactly 3 positional arguments (2 given)"),
    ("gemm missing B beats unknown", lambda m, v: v.gemm(1, C=2),
     "gemm() takes exactly 3 positional arguments (2 given)"),
    ("gemm unknown", lambda m, v: v.gemm(1, 2, C=3),
     "gemm() got an unexpected keyword argument 'C'"),
    ("gemm_decimal A twice", lambda m, v: v.gemm_decimal(1, 2, A=3),
     "gemm_decimal() got multiple values for keyword argument 'A'"),
    ("gemm_decimal only B", lambda m, v: v.gemm_decimal(B=1),
     "gemm_decimal() takes exactly 3 positional arguments (1 given)"),
]


@pytest.mark.parametrize("call, message", [case[1:] for case in WRONG_CALLS],
                         ids=[case[0] for case in WRONG_CALLS])
def test_wrong_call_message(vexa_module, instance, call, message):
    with pytest.raises(TypeError) as caught:
        call(vexa_module, instance)
    assert str(caught.value) == message


def _raw_vectorcall(function, positional, keyword_names, keyword_values):
    """Calls through PyObject_Vectorcall, which, unlike Python syntax, lets any object
    stand as a keyword name."""
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    values = list(positional) + list(keyword_values)
    array = (ctypes.py_object * max(len(values), 1))(*values)
    return vectorcall(function, array, len(positional), tuple(keyword_names))


@pytest.mark.parametrize("name, path, positional, keyword_names, message", [
    ("D", "D", (1.0,), (1,), "D() keywords must be strings"),
    ("D unknown first", "D", (1.0,), ("y", 1), "D() got an unexpected keyword argument 'y'"),
    ("D non-str first", "D", (1.0,), (1, "y"), "D() keywords must be strings"),
    ("D repeated keyword", "D", (), ("x", "x"), "D() got multiple values for keyword argument 'x'"),
    ("verify_precision", "verify_precision", (), ("K", 2),
     "verify_precision() keywords must be strings"),
    ("gemm_pair", "Vexa.gemm_pair", (None, 1, 2), (3,), "gemm_pair() keywords must be strings"),
    ("test", "test", (), (1,), "test() takes no keyword arguments"),
])
def test_non_string_keyword_from_c(vexa_module, name, path, positional, keyword_names, message):
    function = vexa_module
    for part in path.split("."):
        function = getattr(function, part)
    with pytest.raises(TypeError) as caught:
        _raw_vectorcall(function, positional, keyword_names, [0] * len(keyword_names))
    assert str(caught.value) == message


def test_non_string_keyword_from_python_gets_cpythons_message(vexa_module):
    # CPython rejects the ** mapping before the function runs; its own text stands.
    with pytest.raises(TypeError) as caught:
        vexa_module.D(**{1: 2})
    assert str(caught.value) == "keywords must be strings"


@pytest.fixture
def restore_defaults(vexa_module):
    functions = [vexa_module.D, vexa_module.Vexa.__init__, vexa_module.verify_precision]
    saved = [function.__defaults__ for function in functions]
    yield
    for function, defaults in zip(functions, saved):
        function.__defaults__ = defaults


def test_removed_defaults_make_a_parameter_required(vexa_module, restore_defaults):
    vexa_module.Vexa.__init__.__defaults__ = None
    with pytest.raises(TypeError) as caught:
        vexa_module.Vexa()
    assert str(caught.value) == "__init__() takes exactly 2 positional arguments (1 given)"
    assert str(inspect.signature(vexa_module.Vexa.__init__)) == "(self, dll_path)"


def test_shorter_defaults_move_the_required_count(vexa_module, restore_defaults):
    vexa_module.verify_precision.__defaults__ = (8, 42)
    with pytest.raises(TypeError) as caught:
        vexa_module.verify_precision(1)
    assert str(caught.value) == "verify_precision() takes at least 2 positional arguments (1 given)"
    with pytest.raises(TypeError) as caught:
        vexa_module.verify_precision(M=1)
    assert str(caught.value) == "verify_precision() takes at least 2 positional arguments (0 given)"
    assert str(inspect.signature(vexa_module.verify_precision)) == "(K, M, N=8, seed=42)"


@pytest.mark.parametrize("defaults, expected", [
    ((0.5,), Decimal("0.5")),
    # As for Python functions, surplus defaults lend their last entries.
    ((0.25, 0.75), Decimal("0.75")),
])
def test_added_defaults_are_used(vexa_module, restore_defaults, defaults, expected):
    vexa_module.D.__defaults__ = defaults
    assert vexa_module.D() == expected
    assert vexa_module.D(x=2.0) == Decimal(2)


@pytest.mark.parametrize("value", [[1], 1, "ab"])
def test_defaults_must_be_a_tuple(vexa_module, restore_defaults, value):
    with pytest.raises(TypeError, match=r"^__defaults__ must be set to a tuple object$"):
        vexa_module.D.__defaults__ = value
    assert vexa_module.D.__defaults__ is None


def test_keyword_and_positional_forms_are_the_same_call(vexa_module):
    # One call that reaches the body each way; D is the cheapest body.
    assert vexa_module.D(1.5) == vexa_module.D(x=1.5) == Decimal("1.5")


def test_calls_keep_reference_counts_balanced(vexa_module):
    argument, keyword_value = 2.5, object()
    before = sys.getrefcount(argument), sys.getrefcount(keyword_value)
    for _ in range(1000):
        vexa_module.D(argument)
        vexa_module.D(x=argument)
        for call in (lambda: vexa_module.D(argument, argument),
                     lambda: vexa_module.D(argument, y=keyword_value),
                     lambda: vexa_module.test(argument, x=keyword_value)):
            with pytest.raises(TypeError):
                call()
    assert (sys.getrefcount(argument), sys.getrefcount(keyword_value)) == before
