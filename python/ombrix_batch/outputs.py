"""Where a run writes, and how it writes so that no kill, full disk or second
run loses a user's file: never over the input, one run per output at a time,
every file written whole beside its place and then renamed, and what a
killed run left half-written removed by the next run."""
from __future__ import annotations

import contextlib
import glob
import os
import pathlib
import re
import shutil
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

from .errors import BatchError, InputError

try:
    import fcntl
except ImportError:  # pragma: no cover - Windows: no advisory locks, runs are not serialised
    fcntl = None  # type: ignore[assignment]

Writer = Callable[[str], Any]


def partial_name(path: pathlib.Path, suffix: str = "") -> pathlib.Path:
    """A hidden name for a half-written version of `path`, beside it."""
    return path.with_name(f".{path.name}.partial-{uuid.uuid4().hex[:12]}{suffix}")


def is_partial(candidate: pathlib.Path, path: pathlib.Path) -> bool:
    """Whether `candidate` has the shape of a name that partial_name gives `path`."""
    shape = rf"\.{re.escape(path.name)}\.partial-[0-9a-f]{{12}}({re.escape(path.suffix)})?"
    return candidate.parent == path.parent and re.fullmatch(shape, candidate.name) is not None


def lock_path(path: pathlib.Path) -> pathlib.Path:
    return path.with_name(f".{path.name}.lock")


RESERVED = re.compile(r"\..+\.(lock|partial-[0-9a-f]{12}.*)")  # the hidden names above


def not_written(path: pathlib.Path, exc: OSError) -> BatchError:
    reason = os.strerror(exc.errno) if exc.errno else str(exc)  # h5py's own text runs to several lines
    if exc.errno == 28:  # ENOSPC
        reason += "; free some space there"
    return BatchError(f"{path} could not be written ({reason}); what was there before is unchanged")


def write_together(writes: Sequence[tuple[pathlib.Path, Writer]]) -> None:
    """Each write(temporary path) runs in full before any file takes its place, so
    a failure (a full disk, say) leaves every file as it was; the renames are
    the only steps that can interleave with a kill, and each is whole."""
    temporaries: list[str] = []
    try:
        for path, write in writes:
            temporary = str(partial_name(path, path.suffix))
            try:  # made as any new file is (the umask applies), so the renamed file is too
                os.close(os.open(temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
            except OSError as exc:
                raise not_written(path, exc) from None
            temporaries.append(temporary)
            failure = None
            try:
                write(temporary)
            except OSError as exc:
                failure = not_written(path, exc)
            if failure is not None:  # raised outside the handler: h5py's error holds its files open
                raise failure
        for (path, _), temporary in zip(writes, temporaries):
            try:
                os.replace(temporary, path)
            except OSError as exc:
                raise not_written(path, exc) from None
    finally:
        for temporary in temporaries:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)


def write_atomically(path: pathlib.Path, write: Writer) -> None:
    """write(temporary path), then a rename: readers see all of it or nothing."""
    write_together([(path, write)])


def remove_leftovers(path: pathlib.Path) -> None:
    """Half-written versions of `path` that a killed run left (files or folders)."""
    for name in glob.glob(glob.escape(str(path.parent / f".{path.name}.partial-")) + "*"):
        leftover = pathlib.Path(name)
        if not is_partial(leftover, path):
            continue
        if leftover.is_dir() and not leftover.is_symlink():
            shutil.rmtree(leftover, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):
                leftover.unlink()


def remove_folder(folder: pathlib.Path) -> None:
    """Out of its place in one rename, then deleted: a kill in between leaves a
    hidden folder that the next run removes, never a half-deleted one."""
    hidden = partial_name(folder)
    with contextlib.suppress(FileNotFoundError):
        os.rename(folder, hidden)
        shutil.rmtree(hidden, ignore_errors=True)


def check_writable_place(path: pathlib.Path, what: str) -> None:
    """Refuses, before any work, a place where `what` could never be written."""
    if path.is_dir():
        raise InputError(f"{path} is a folder; give {what} a file name")
    if RESERVED.fullmatch(path.name):
        raise InputError(f"{path}: names like this one are kept for ombrix's own locks and temporary files; "
                         f"give {what} another name")
    if not path.parent.is_dir():
        raise InputError(f"{path}: the folder {path.parent} does not exist")


def same_place(a: pathlib.Path, b: pathlib.Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return a.resolve() == b.resolve()


def refuse_input_as_output(source: Any, outputs: Mapping[str, pathlib.Path | None],
                           folders: Mapping[str, pathlib.Path] | None = None) -> None:
    """Refuses, before any work, an output that is the input file, a folder that
    a run deletes and that holds it, or an input with the name of a half-written
    file that the run's clean-up removes."""
    try:
        given = pathlib.Path(os.fspath(source))
    except TypeError:
        return  # an object in memory: nothing on disk to protect
    for what, path in outputs.items():
        if path is not None and same_place(given, path):
            raise InputError(f"{path} is the input; {what} would replace it: write it to another file")
    for what, folder in (folders or {}).items():
        if given.resolve().is_relative_to(folder.resolve()):
            raise InputError(f"the input {given} lies in {folder}, {what}, which a run deletes: move it first")
    for path in [*(p for p in outputs.values() if p is not None), *(folders or {}).values()]:
        for place in (given.absolute(), *given.absolute().parents):
            if is_partial(place, path.absolute()):
                raise InputError(f"the input {given} has the name of a half-written file that a run on {path} "
                                 f"removes: rename it first")


@contextlib.contextmanager
def exclusive(path: pathlib.Path) -> Iterator[None]:
    """One run writing `path` at a time: an advisory lock on a hidden file
    beside it, which the system releases when the holder dies, however."""
    if fcntl is None:  # pragma: no cover
        yield
        return
    lock = lock_path(path)
    while True:
        try:
            handle = os.open(lock, os.O_RDWR | os.O_CREAT, 0o644)
        except OSError as exc:
            raise BatchError(f"{path} cannot be written: {lock} cannot be made ({exc.strerror})") from None
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.read(handle, 32).decode(errors="replace").strip() or "?"
            os.close(handle)
            raise BatchError(f"another ombrix run (process {holder}) is writing {path}; wait for it to end, "
                             f"or write to another file") from None
        try:  # the holder before us may have removed the file we opened: lock the one in place
            if os.stat(lock).st_ino == os.fstat(handle).st_ino:
                break
        except FileNotFoundError:
            pass
        os.close(handle)
    try:
        try:
            os.ftruncate(handle, 0)
            os.write(handle, str(os.getpid()).encode())
        except OSError as exc:
            raise BatchError(f"{path} cannot be written: {lock} cannot be written ({exc.strerror})") from None
        yield
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(lock)
        os.close(handle)
