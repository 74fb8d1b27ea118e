"""Writes examples/sample_atlas.h5ad: a small single-cell copy-number atlas
laid out as infercnvpy lays it out (`.obsm["X_cnv"]`, a sparse matrix of
smoothed log2 ratios per genomic window; `.uns["cnv"]["chr_pos"]`, each
chromosome's first window), with three kinds of cells:

- normal: every window near 0 (diploid);
- tumour: arm-level changes shared by the clone (7 gained, 10 lost, 8q gained);
- rearranged: the tumour's changes plus chromosomes 1 and 2 shattered: the
  copy number oscillating between a loss and a gain every one to three windows
  (ends left intact), as after chromothripsis. These 28 profiles are the hits
  ombrix should find.

    python examples/make_sample_atlas.py [OUTPUT]
"""
import pathlib
import sys

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp

WINDOWS = {f"chr{c}": w for c, w in zip(range(1, 23), [48, 46, 40, 36, 36, 34, 34, 30, 28, 28, 30, 30,
                                                         20, 22, 22, 24, 26, 18, 26, 16, 10, 14])}
GAIN, LOSS = 0.45, -0.6


def make(seed: int = 11) -> anndata.AnnData:
    rng = np.random.default_rng(seed)
    names = list(WINDOWS)
    starts = np.concatenate([[0], np.cumsum(list(WINDOWS.values()))[:-1]])
    width = int(sum(WINDOWS.values()))
    span = {name: (int(s), int(s) + WINDOWS[name]) for name, s in zip(names, starts)}
    kinds = ["normal"] * 22 + ["tumour"] * 12 + ["rearranged"] * 14
    rows = []
    for kind in kinds:
        row = rng.normal(0.0, 0.04, width)
        if kind != "normal":
            for name, change, part in (("chr7", GAIN, (0.0, 1.0)), ("chr10", LOSS, (0.0, 1.0)),
                                       ("chr8", GAIN, (0.45, 1.0))):
                start, stop = span[name]
                a, b = start + int(part[0] * (stop - start)), start + int(part[1] * (stop - start))
                row[a:b] += change
        if kind == "rearranged":
            for name in ("chr1", "chr2"):
                start, stop = span[name]
                position, level, stop = start + 3, LOSS, stop - 3
                while position < stop:
                    length = int(rng.integers(1, 4))
                    row[position:min(position + length, stop)] += level
                    position, level = position + length, GAIN if level == LOSS else LOSS
        row[np.abs(row) < 0.1] = 0.0  # infercnvpy keeps only the windows beyond the noise
        rows.append(row.astype(np.float32))
    obs = pd.DataFrame({"cell_type": pd.Categorical(kinds)}, index=[f"cell{k:03d}" for k in range(len(kinds))])
    # chr_pos in no particular order, as a dictionary read back from a file may be
    chr_pos = {name: int(span[name][0]) for name in rng.permutation(names)}
    return anndata.AnnData(obs=obs, obsm={"X_cnv": sp.csr_matrix(np.vstack(rows))},
                           uns={"cnv": {"chr_pos": chr_pos}})


if __name__ == "__main__":
    target = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("sample_atlas.h5ad"))
    make().write_h5ad(target)
    print(f"wrote {target}")
