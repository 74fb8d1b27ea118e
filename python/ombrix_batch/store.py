"""Results kept as they finish, so that a run killed at any moment can be
resumed: one file per finished chunk, written whole or not at all, beside
the output, under a fingerprint of the inputs and parameters."""
from __future__ import annotations

import json
import os
import pathlib
import shutil
import tempfile
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from .errors import BatchError

RUN_FILE = "run.json"
WARNINGS = "ombrix_warnings"  # the chunk's warning counts, in the part's metadata


def write_atomically(path: pathlib.Path, write: Any) -> None:
    """write(temporary path), then a rename: readers see all of it or nothing."""
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=path.suffix)
    os.close(handle)
    try:
        write(temporary)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


class PartStore:
    def __init__(self, output: pathlib.Path, fingerprint: dict[str, Any], resume: bool) -> None:
        self.folder = output.with_name(output.name + ".parts")
        run_file = self.folder / RUN_FILE
        if self.folder.exists():
            if not resume:
                raise BatchError(f"{self.folder} holds the results of an unfinished run: pass --resume "
                                 f"(resume=True) to finish it, or delete the folder to start again")
            try:
                kept = json.loads(run_file.read_text())
            except (OSError, ValueError) as exc:
                raise BatchError(f"{run_file} cannot be read ({exc}); delete {self.folder} to start again") from exc
            if kept != fingerprint:
                changed = sorted(k for k in set(kept) | set(fingerprint) if kept.get(k) != fingerprint.get(k))
                raise BatchError(f"{self.folder} was made from other inputs or parameters ({', '.join(changed)} "
                                 f"differ); delete it to start again with these")
        else:
            self.folder.mkdir(parents=True)
            write_atomically(run_file, lambda p: pathlib.Path(p).write_text(json.dumps(fingerprint, indent=1)))

    def part(self, number: int) -> pathlib.Path:
        return self.folder / f"part-{number:06d}.parquet"

    def finished(self) -> set[int]:
        return {int(p.stem.split("-")[1]) for p in self.folder.glob("part-*.parquet")}

    def keep(self, number: int, columns: dict[str, list[Any]], warned: dict[str, int]) -> None:
        table = pa.Table.from_pydict(columns).replace_schema_metadata({WARNINGS: json.dumps(warned)})
        write_atomically(self.part(number), lambda p: pq.write_table(table, p))

    def read(self, number: int) -> tuple[dict[str, list[Any]], dict[str, int]]:
        table = pq.read_table(self.part(number))
        return table.to_pydict(), json.loads((table.schema.metadata or {}).get(WARNINGS.encode(), b"{}"))

    def remove(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)
