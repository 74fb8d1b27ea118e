"""A synthetic atlas in infercnvpy's layout, for the scaling benchmarks (not
committed: a 1 M-cell atlas is gigabytes).

    python make_scale_atlas.py CELLS OUT.h5ad [--genes 7000] [--sparse]

22 chromosomes over ~7 000 columns of log2 ratios (float32): 30 % normal
cells (near 0), the rest in 8 clones with a few gains and losses each, and a
quarter of all cells with noise of their own, so that the distinct tasks grow
with the atlas as on real data. Written in blocks of rows, so the generator
never holds the whole matrix.
"""
from __future__ import annotations

import argparse

import numpy as np

CHROMOSOMES = 22


def chromosome_starts(genes: int) -> list[int]:
    # longer chromosomes first, roughly as the human genome's gene counts run
    weights = np.linspace(2.0, 1.0, CHROMOSOMES)
    sizes = np.maximum(10, np.round(weights / weights.sum() * genes)).astype(int)
    return [int(s) for s in np.r_[0, np.cumsum(sizes)[:-1]]]


def clone_profiles(rng: np.random.Generator, genes: int, clones: int = 8) -> np.ndarray:
    profiles = np.zeros((clones, genes), dtype=np.float32)
    for c in range(clones):
        for _ in range(int(rng.integers(2, 6))):
            start = int(rng.integers(0, genes - 50))
            profiles[c, start:start + int(rng.integers(50, 600))] = rng.choice([-0.6, 0.4, 0.9])
    return profiles


def block(rng: np.random.Generator, rows: int, profiles: np.ndarray) -> np.ndarray:
    genes = profiles.shape[1]
    normal = rng.random(rows) < 0.3
    out = profiles[rng.integers(0, len(profiles), rows)].copy()
    out[normal] = 0.0
    noisy = rng.random(rows) < 0.25
    out[noisy] += rng.normal(0.0, 0.15, size=(int(noisy.sum()), genes)).astype(np.float32)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cells", type=int)
    parser.add_argument("output")
    parser.add_argument("--genes", type=int, default=7000)
    parser.add_argument("--sparse", action="store_true", help="X_cnv as CSR (infercnvpy writes either)")
    args = parser.parse_args()
    import anndata
    import h5py
    import pandas as pd
    import scipy.sparse as sp

    rng = np.random.default_rng(11)
    profiles = clone_profiles(rng, args.genes)
    starts = chromosome_starts(args.genes)
    obs = pd.DataFrame(index=[f"cell{i:07d}" for i in range(args.cells)])
    shell = anndata.AnnData(obs=obs, uns={"cnv": {"chr_pos": {f"chr{k + 1}": s for k, s in enumerate(starts)}}})
    shell.write_h5ad(args.output)
    step = 20_000
    with h5py.File(args.output, "a") as handle:
        obsm = handle.require_group("obsm")
        if args.sparse:
            parts = [sp.csr_matrix(block(rng, min(step, args.cells - first), profiles))
                     for first in range(0, args.cells, step)]
            anndata.io.write_elem(obsm, "X_cnv", sp.vstack(parts, format="csr"))
        else:
            # contiguous, as anndata writes a dense .obsm matrix
            data = obsm.create_dataset("X_cnv", shape=(args.cells, args.genes), dtype=np.float32)
            data.attrs["encoding-type"], data.attrs["encoding-version"] = "array", "0.2.0"
            for first in range(0, args.cells, step):
                rows = min(step, args.cells - first)
                data[first:first + rows] = block(rng, rows, profiles)
    print(f"{args.output}: {args.cells} cells x {args.genes} columns, {CHROMOSOMES} chromosomes")


if __name__ == "__main__":
    main()
