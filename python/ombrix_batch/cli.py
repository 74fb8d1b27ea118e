"""The command line: `ombrix score INPUT -o TABLE`."""
from __future__ import annotations

import argparse
import contextlib
import pathlib
import signal
import sys
import warnings
from typing import TYPE_CHECKING, Any

from . import __version__
from .defaults import CNVKIT_THRESHOLDS, CORRECTIONS, DEFAULT_BACKGROUNDS, DEFAULT_STOP_AFTER, METHODS
from .errors import BatchError, BatchNote

if TYPE_CHECKING:
    from .results import Scored

# The rest of the driver (pandas, SciPy, AnnData) is imported by the command
# that needs it: `ombrix --help` and a refused option answer at once.


class Stopped(BaseException):
    """SIGTERM, raised where the run is so that it ends as Ctrl-C does: files
    closed, temporaries removed, the lock released."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def stop(signum: int, frame: Any) -> None:
    raise Stopped(signum)


def notes_shown_plainly(show: Any) -> Any:
    """warnings.showwarning, but the driver's own notes as one plain line each."""
    def shown(message: Any, category: type[Warning], *rest: Any, **options: Any) -> None:
        if issubclass(category, BatchNote):
            print(f"ombrix score: note: {message}", file=sys.stderr)
        else:
            show(message, category, *rest, **options)
    return shown


def thresholds(text: str) -> tuple[float, ...]:
    try:
        return tuple(float(t) for t in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"cut points separated by commas, like -1.1,-0.25,0.2,0.7; got {text!r}") from None


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"a whole number, 0 or more; got {text!r}")
    return value


# options whose values may begin with a minus sign (cut points of log ratios)
NEGATIVE_VALUES = ("--thresholds", "--exp-lambda", "--possion-lambda", "--poisson-lambda")


def joined_negative_values(argv: list[str]) -> list[str]:
    """`--thresholds -0.3,0.1` as `--thresholds=-0.3,0.1`: argparse takes a value
    that begins with a minus sign for an option unless it is joined."""
    joined: list[str] = []
    i = 0
    while i < len(argv):
        if argv[i] in NEGATIVE_VALUES and i + 1 < len(argv) and argv[i + 1].startswith("-") and \
                argv[i + 1][1:2] in tuple("0123456789.") + ("i", "n", "I", "N"):
            joined.append(f"{argv[i]}={argv[i + 1]}")
            i += 2
            continue
        joined.append(argv[i])
        i += 1
    return joined


def lambda_value(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a number, not {text!r}") from None


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="ombrix", description="Copy-number rearrangement scores for whole atlases.")
    main.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = main.add_subparsers(dest="command", required=True)
    run = commands.add_parser("score", help="score every cell and chromosome of an atlas",
                              description="Score every (cell, chromosome) profile against seeded permutation "
                                          "backgrounds and write one row per profile.")
    run.add_argument("input", help=".h5ad (infercnvpy layout), or a wide or long table (.tsv, .csv, .parquet)")
    run.add_argument("-o", "--output", help="the table: .parquet, .tsv or .csv (default: INPUT's name + "
                                            "_ombrix.tsv, beside it)")
    run.add_argument("--use-rep", default="X_cnv", help="the .obsm matrix of copy numbers (default X_cnv)")
    run.add_argument("--key", default="cnv", help="the .uns entry holding chr_pos (default cnv)")
    run.add_argument("--layout", choices=["auto", "wide", "long"], default="auto", help="a table's layout")
    run.add_argument("--chromosome-column", help="a table's chromosome column (default: found by name)")
    run.add_argument("--states", choices=METHODS, default="integer",
                     help="copy states: 'integer' (refuse other values), 'round', 'thresholds' or 'none'")
    run.add_argument("--thresholds", type=thresholds, default=CNVKIT_THRESHOLDS,
                     help="log2-ratio cut points for --states thresholds (default CNVkit's -1.1,-0.25,0.2,0.7)")
    run.add_argument("--backgrounds", type=int, default=DEFAULT_BACKGROUNDS, metavar="N",
                     help=f"the most permutation backgrounds per profile (default {DEFAULT_BACKGROUNDS}); the "
                          f"smallest p-value is 1/(N+1)")
    run.add_argument("--stop-after", type=int, default=DEFAULT_STOP_AFTER, metavar="H",
                     help=f"stop a profile's backgrounds at the H-th that reaches its score (default "
                          f"{DEFAULT_STOP_AFTER}; 0 draws all N for every profile)")
    run.add_argument("--exp-lambda", type=lambda_value, help="the exponential parameter of every cell (default 1.0)")
    run.add_argument("--possion-lambda", "--poisson-lambda", type=lambda_value,
                     help="the Poisson parameter (mean cut count) of every chromosome (default 20.0)")
    run.add_argument("--with-r", action="store_true", help="also the R statistic and its background")
    run.add_argument("--correction", choices=sorted(CORRECTIONS), default="bh", help="q-values: bh or by")
    run.add_argument("--n-jobs", type=int, default=-1, help="processes (default -1: every core; more than the "
                                                            "cores are capped, with a note)")
    run.add_argument("--oversubscribe", action="store_true", help="start --n-jobs processes even beyond the cores")
    run.add_argument("--chunk-size", type=int, help="distinct profiles per task sent to a process")
    run.add_argument("--resume", action="store_true", help="finish a run that was stopped")
    cluster = run.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", help="run on the Dask cluster at this address (tcp://host:8786)")
    cluster.add_argument("--dask-local", type=int, metavar="N", help="run on a Dask LocalCluster of N workers")
    chosen = run.add_mutually_exclusive_group()
    chosen.add_argument("--cells", metavar="FILE", help="score only these cells (a file of cell names, one a line)")
    chosen.add_argument("--groupby", metavar="COLUMN", help="with --groups: score only the cells of some groups of "
                                                           "this .obs column (an .h5ad input)")
    run.add_argument("--groups", type=lambda text: [g.strip() for g in text.split(",") if g.strip()],
                     metavar="A,B", help="the groups of --groupby to score")
    run.add_argument("--write-h5ad", metavar="FILE", help="also write the .h5ad input back with the results in "
                                                             ".obsm, .obs and .uns (key 'ombrix')")
    run.add_argument("--quiet", action="store_true", help="no progress bar, no summary")
    run.add_argument("--top", type=count, default=10, help="hits shown in the summary")
    figure = commands.add_parser("plot", help="figures of a score table",
                                 description="A heatmap of -log10 q (cells x chromosomes) with the p-value "
                                             "histogram, or one profile against its backgrounds.")
    figure.add_argument("table", help="a table written by ombrix score (.parquet, .tsv, .csv)")
    figure.add_argument("-o", "--output", required=True, help="the figure: .png, .pdf or .svg")
    figure.add_argument("--atlas", help="the .h5ad the table was scored from (for --groupby and a profile)")
    figure.add_argument("--groupby", help="an .obs column of the atlas to group the heatmap's cells by")
    figure.add_argument("--cell", help="one profile's cell")
    figure.add_argument("--chromosome", help="one profile's chromosome")
    return main


def run_plot(args: argparse.Namespace) -> int:
    from .pl import write_figure

    try:
        written = write_figure(args.table, args.output, atlas=args.atlas, groupby=args.groupby, cell=args.cell,
                       chromosome=args.chromosome)
    except BatchError as exc:
        print(f"ombrix plot: error: {exc}", file=sys.stderr)
        return 2
    print(f"Figure written to {written}")
    return 0


def default_output(source: str) -> pathlib.Path:
    path = pathlib.Path(source)
    return path.with_name(path.stem + "_ombrix.tsv")


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(joined_negative_values(sys.argv[1:] if argv is None else list(argv)))
    if args.command == "plot":
        return run_plot(args)
    output = pathlib.Path(args.output) if args.output else default_output(args.input)
    h5ad = pathlib.Path(args.write_h5ad) if args.write_h5ad else None
    previous = signal.signal(signal.SIGTERM, stop)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = notes_shown_plainly(warnings.showwarning)
            results = score_and_write(args, output, h5ad)
    except BatchError as exc:
        print(f"ombrix score: error: {exc}", file=sys.stderr)
        return 2
    except (KeyboardInterrupt, Stopped) as exc:
        from .store import parts_folder

        folder = parts_folder(output)
        kept = f"; the finished chunks are kept in {folder}: run again with --resume" if folder.exists() else ""
        print(f"ombrix score: stopped{kept}", file=sys.stderr)
        return 128 + (exc.signum if isinstance(exc, Stopped) else signal.SIGINT)
    finally:
        signal.signal(signal.SIGTERM, previous)
    if not args.quiet:
        from .summary import summary

        print(summary(results, output, args.top))
        if h5ad is not None:
            print(f"AnnData with the results written to {h5ad}")
    return 0


def score_and_write(args: argparse.Namespace, output: pathlib.Path, h5ad: pathlib.Path | None) -> Scored:
    from .anndata_io import write_back, write_h5ad
    from .options import Options
    from .outputs import check_writable_place, exclusive, refuse_input_as_output, remove_leftovers
    from .readers import read_anndata_file
    from .results import table_files
    from .run import run_scoring
    from .store import parts_folder
    from .subset import read_cell_list

    if h5ad is not None and (pathlib.Path(args.input).suffix != ".h5ad" or h5ad.suffix != ".h5ad"):
        raise BatchError("--write-h5ad needs an .h5ad input and an .h5ad file to write")
    # every output checked before anything is read: none may be the input
    refuse_input_as_output(args.input, {**table_files(output), "--write-h5ad": h5ad},
                           {"the output's parts folder": parts_folder(output)})
    with contextlib.ExitStack() as held:
        source: Any = args.input
        adata = None
        if h5ad is not None:  # read once: scored, then written back with the results
            check_writable_place(h5ad, "--write-h5ad")
            held.enter_context(exclusive(h5ad))
            remove_leftovers(h5ad)
            adata, source = read_anndata_file(args.input, use_rep=args.use_rep, key=args.key)
            slashed = [c for c in source.chromosomes if "/" in c]
            if slashed:  # found before the work, not when the results are written
                raise BatchError(f"{args.input}: the chromosome {slashed[0]!r} has a '/' in its name, which an "
                                 f".h5ad cannot hold (HDF5 reads it as a path): rename it, or leave out --write-h5ad")
        # the arguments' names are the options' names
        options = Options.of({**vars(args), "output": output, "progress": not args.quiet, "client": None,
                              "cells": read_cell_list(args.cells) if args.cells else None})
        results = run_scoring(source, options)
        if adata is not None and h5ad is not None:
            write_back(adata, results.table())
            try:
                write_h5ad(adata, h5ad)
            except BatchError as exc:
                raise BatchError(f"{exc} (the table {output} is written)") from None
    return results


if __name__ == "__main__":
    sys.exit(main())
