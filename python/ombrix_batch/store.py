"""Results kept as they finish, so that a run killed at any moment can be
resumed: one file per finished chunk, written whole or not at all, beside
the output, under a fingerprint of what was computed (the profiles, the
lambdas used, the copy states, the module's version), with the run's plan."""
from __future__ import annotations

import json
import os
import pathlib
import zipfile
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from .errors import BatchError
from .outputs import partial_name, remove_folder, remove_leftovers, write_atomically
from .tasks import Plan

RUN_FILE = "run.json"
PLAN_FILE = "plan.npz"  # the run's plan, so that a resume need not read the atlas's values again
INPUT_FILE = "input_file"  # the input file as it was (its place, size and time), for reusing the plan
WARNINGS = "ombrix_warnings"  # the chunk's warning counts, in the part's metadata
# recorded for the reader of run.json, not compared: the same profiles read
# from a moved file give the same results
INFORMATIVE = {"input", INPUT_FILE}


def parts_folder(output: pathlib.Path) -> pathlib.Path:
    return output.with_name(output.name + ".parts")


def shown(value: Any) -> str:
    text = json.dumps(value)
    return text if len(text) <= 80 else text[:77] + "..."


def differences(kept: dict[str, Any], now: dict[str, Any]) -> str:
    keys = sorted(k for k in set(kept) | set(now) if k not in INFORMATIVE and kept.get(k) != now.get(k))
    described = []
    for k in keys:
        then, current = kept.get(k), now.get(k)
        if isinstance(then, dict) and isinstance(current, dict):  # per chromosome: only what changed
            changed = [n for n in {**then, **current} if then.get(n) != current.get(n)]
            then, current = ({n: d.get(n) for n in changed} for d in (then, current))
        described.append(f"{k}: {shown(then)} then, {shown(current)} now")
    return "; ".join(described)


class PartStore:
    """The parts folder of an output: a new one, or (`resume`) the one an
    unfinished run left, whose fingerprint is `kept`."""

    def __init__(self, output: pathlib.Path, resume: bool) -> None:
        self.folder = parts_folder(output)
        remove_leftovers(self.folder)
        run_file = self.folder / RUN_FILE
        if self.folder.exists() and not run_file.exists():
            if not self.folder.is_dir() or any(self.folder.iterdir()):
                raise BatchError(f"{self.folder} is in the way: it is not a folder of ombrix's (it has no "
                                 f"{RUN_FILE}); move it, or write the table elsewhere")
            self.folder.rmdir()  # empty: left by a run of an older version killed before it kept anything
        self.kept: dict[str, Any] | None = None
        if self.folder.exists():
            if not resume:
                raise BatchError(f"{self.folder} holds the results of an unfinished run: pass --resume "
                                 f"(resume=True) to finish it, or delete the folder to start again")
            try:
                self.kept = json.loads(run_file.read_text())
            except (OSError, ValueError) as exc:
                raise BatchError(f"{run_file} cannot be read ({exc}); delete {self.folder} to start again") from exc

    def kept_plan(self, identity: dict[str, Any] | None) -> Plan | None:
        """The unfinished run's plan, when its input is this very file, unchanged
        since (else the atlas is planned again and its profiles compared)."""
        if self.kept is None or identity is None or self.kept.get(INPUT_FILE) != identity:
            return None
        try:
            return Plan.load(self.folder / PLAN_FILE)
        except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile):
            return None  # missing (an older run's folder) or damaged: planned again, which is safe

    def start(self, fingerprint: dict[str, Any], plan: Plan) -> None:
        """A new folder, or the kept one once it is known to hold this run's work."""
        if self.kept is None:
            self.create(fingerprint, plan)
            return
        changed = differences(self.kept, fingerprint)
        if changed:
            raise BatchError(f"{self.folder} was made from other inputs or parameters ({changed}); resume with "
                             f"the same ones, or delete the folder to start again with these")
        for leftover in self.folder.glob(".*"):  # half-written parts of the killed run
            if leftover.is_file():
                leftover.unlink()

    def create(self, fingerprint: dict[str, Any], plan: Plan) -> None:
        """The folder appears with its run.json and plan in it, or not at all."""
        try:
            building = partial_name(self.folder)
            building.mkdir()
            (building / RUN_FILE).write_text(json.dumps(fingerprint, indent=1))
            plan.save(building / PLAN_FILE)
            os.rename(building, self.folder)
        except OSError as exc:
            raise BatchError(f"{self.folder} could not be made ({exc.strerror or exc})") from None

    def part(self, number: int) -> pathlib.Path:
        return self.folder / f"part-{number:06d}.parquet"

    def finished(self) -> set[int]:
        return {int(p.stem.split("-")[1]) for p in self.folder.glob("part-*.parquet")}

    def keep(self, number: int, columns: dict[str, Any], warned: dict[str, int]) -> None:
        table = pa.Table.from_pydict(columns).replace_schema_metadata({WARNINGS: json.dumps(warned)})
        write_atomically(self.part(number), lambda p: pq.write_table(table, p))

    def read(self, number: int) -> tuple[dict[str, np.ndarray], dict[str, int]]:
        table = pq.read_table(self.part(number))
        columns = {name: table.column(name).to_numpy() for name in table.column_names}
        return columns, json.loads((table.schema.metadata or {}).get(WARNINGS.encode(), b"{}"))

    def remove(self) -> None:
        remove_folder(self.folder)
