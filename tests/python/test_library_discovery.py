"""Vexa._find_dll: the per-platform candidate lists, their order, and the not-found error.

The module's ``platform``, ``os`` and ``__file__`` globals are rebound to stand-ins, so
both the Windows and the Linux search run on any machine.
"""

import ntpath
import os
import posixpath
from types import SimpleNamespace

import pytest

NOT_FOUND_FIRST_LINE = "Vexa library not found. Build it first or specify dll_path."

WINDOWS_MODULE_FILE = \
    "C:\\Python311\\Lib\\site-packages\\dravenholt\\vexa\\vexa.cp311-win_amd64.pyd"
WINDOWS_CANDIDATES = [
    "C:\\Python311\\Lib\\site-packages\\dravenholt\\vexa\\libvexa.dll",
    "C:\\Python311\\Lib\\site-packages\\dravenholt\\vexa\\vexa_unified.dll",
    "C:\\Python311\\Lib\\site-packages\\dravenholt\\vexa\\build\\libvexa.dll",
    "C:\\Vexa\\build\\libvexa.dll",
    "libvexa.dll",
]
LINUX_MODULE_FILE = "/opt/app/vexa.cpython-311-x86_64-linux-gnu.so"
LINUX_CANDIDATES = ["/opt/app/libvexa.so", "./libvexa.so", "/usr/local/lib/libvexa.so"]


class FakePlatform:
    def __init__(self, system_name):
        self.system_name = system_name
        self.calls = 0

    def system(self):
        self.calls += 1
        return self.system_name


class FakeOs:
    """An ``os`` whose ``path`` joins like the target system and finds only ``existing``."""

    def __init__(self, flavour, existing):
        self.existing = set(existing)
        self.probed = []
        self.path = SimpleNamespace(join=flavour.join, dirname=flavour.dirname, exists=self._exists)

    def _exists(self, path):
        self.probed.append(path)
        return path in self.existing


@pytest.fixture
def search(vexa_module, monkeypatch):
    """Runs one _find_dll on a bare instance under the given system and files.

    Returns what it found (or the FileNotFoundError it raised) and the paths it probed.
    """

    def run(system_name, existing, flavour, module_file):
        fake_platform = FakePlatform(system_name)
        fake_os = FakeOs(flavour, existing)
        monkeypatch.setattr(vexa_module, "platform", fake_platform)
        monkeypatch.setattr(vexa_module, "os", fake_os)
        monkeypatch.setattr(vexa_module, "__file__", module_file)
        bare = vexa_module.Vexa.__new__(vexa_module.Vexa)
        try:
            found = bare._find_dll()
        except FileNotFoundError as error:
            found = error
        assert fake_platform.calls == 1
        return found, fake_os.probed

    return run


def search_windows(search, existing):
    return search("Windows", existing, ntpath, WINDOWS_MODULE_FILE)


def search_linux(search, existing, system_name="Linux"):
    return search(system_name, existing, posixpath, LINUX_MODULE_FILE)


@pytest.mark.parametrize("present, expected_index", [
    ([0, 1, 2, 3, 4], 0),
    ([0, 3], 0),        # module directory beats C:\Vexa\build
    ([1, 2, 3, 4], 1),  # vexa_unified.dll only without a libvexa.dll beside the module
    ([2, 3, 4], 2),
    ([3, 4], 3),
    ([4], 4),           # found in the working directory: the bare name, not made absolute
])
def test_windows_returns_first_existing_candidate(search, present, expected_index):
    found, probed = search_windows(search, [WINDOWS_CANDIDATES[i] for i in present])
    assert found == WINDOWS_CANDIDATES[expected_index]
    assert probed == WINDOWS_CANDIDATES[:expected_index + 1]


@pytest.mark.parametrize("present, expected_index", [([0, 1, 2], 0), ([1, 2], 1), ([2], 2)])
def test_linux_returns_first_existing_candidate(search, present, expected_index):
    found, probed = search_linux(search, [LINUX_CANDIDATES[i] for i in present])
    assert found == LINUX_CANDIDATES[expected_index]
    assert probed == LINUX_CANDIDATES[:expected_index + 1]


@pytest.mark.parametrize("system_name", ["Linux", "Darwin", "windows", "WINDOWS", ""])
def test_anything_but_exactly_windows_searches_only_the_so_list(search, system_name):
    found, probed = search_linux(search, WINDOWS_CANDIDATES, system_name)
    assert isinstance(found, FileNotFoundError)
    assert probed == LINUX_CANDIDATES


def test_windows_not_found_message_lists_five_entries_with_doubled_backslashes(search):
    error, probed = search_windows(search, [])
    assert probed == WINDOWS_CANDIDATES
    expected = (NOT_FOUND_FIRST_LINE + "\n"
                r"Searched: ['C:\\Python311\\Lib\\site-packages\\dravenholt\\vexa\\libvexa.dll', "
                r"'C:\\Python311\\Lib\\site-packages\\dravenholt\\vexa\\vexa_unified.dll', "
                r"'C:\\Python311\\Lib\\site-packages\\dravenholt\\vexa\\build\\libvexa.dll', "
                r"'C:\\Vexa\\build\\libvexa.dll', 'libvexa.dll']")
    assert type(error) is FileNotFoundError
    assert error.args == (expected,)
    assert str(error) == expected
    assert error.errno is None and error.filename is None


def test_linux_not_found_message_lists_three_entries(search):
    error, probed = search_linux(search, [])
    assert probed == LINUX_CANDIDATES
    assert error.args == (NOT_FOUND_FIRST_LINE + "\nSearched: ['/opt/app/libvexa.so', "
                                 "'./libvexa.so', '/usr/local/lib/libvexa.so']",)


class TestRealFileSystem:
    """Linux search against real files; only /usr/local/lib is hidden for determinism."""

    @pytest.fixture
    def module_dir(self, vexa_module, monkeypatch, tmp_path):
        module_dir = tmp_path / "package"
        module_dir.mkdir()
        real_exists = os.path.exists

        def exists_outside_usr_local(path):
            return False if path == "/usr/local/lib/libvexa.so" else real_exists(path)

        monkeypatch.setattr(vexa_module, "platform", FakePlatform("Linux"))
        monkeypatch.setattr(vexa_module, "os", SimpleNamespace(path=SimpleNamespace(
            join=os.path.join, dirname=os.path.dirname, exists=exists_outside_usr_local)))
        monkeypatch.setattr(vexa_module, "__file__", str(module_dir / "vexa.so"))
        return module_dir

    @staticmethod
    def find(vexa_module):
        return vexa_module.Vexa.__new__(vexa_module.Vexa)._find_dll()

    def test_directory_with_the_name_counts_as_found(self, vexa_module, module_dir):
        (module_dir / "libvexa.so").mkdir()
        assert self.find(vexa_module) == os.path.join(str(module_dir), "libvexa.so")

    def test_dangling_symlink_does_not_count(self, vexa_module, module_dir, tmp_path, monkeypatch):
        (module_dir / "libvexa.so").symlink_to(tmp_path / "nowhere.so")
        work = tmp_path / "work"
        work.mkdir()
        (work / "libvexa.so").write_bytes(b"")
        monkeypatch.chdir(work)
        assert self.find(vexa_module) == "./libvexa.so"

    def test_working_directory_is_read_at_each_search(self, vexa_module, module_dir, tmp_path,
                                                      monkeypatch):
        with_library = tmp_path / "with"
        without_library = tmp_path / "without"
        with_library.mkdir()
        without_library.mkdir()
        (with_library / "libvexa.so").write_bytes(b"")
        monkeypatch.chdir(with_library)
        assert self.find(vexa_module) == "./libvexa.so"
        monkeypatch.chdir(without_library)
        with pytest.raises(FileNotFoundError):
            self.find(vexa_module)
