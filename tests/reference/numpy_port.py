"""A faithful pure Python + NumPy port of the seven functions: the peer a user
would otherwise write. The benchmarks time it against the module, and the
tests use it as the oracle of the module's bits."""
import ctypes
import ctypes.util
import math

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.pow.restype = ctypes.c_double
_libm.pow.argtypes = [ctypes.c_double, ctypes.c_double]


def c_pow(z, exponent):
    """The C library's pow. math.pow calls it for numbers (|z| <= sqrt(n) here,
    so it never overflows) but answers NaN itself, with another sign bit."""
    return math.pow(z, exponent) if z == z else _libm.pow(z, exponent)


def skew(data):
    data = np.asarray(data, dtype=float)
    mean = np.float64(np.mean(data))
    std = np.float64(np.std(data, ddof=0))
    acc = 0.0
    with np.errstate(all="ignore"):
        for value in data:
            acc = acc + c_pow(float((value - mean) / std), 3.0)
        return float(np.float64(1.0) / np.float64(len(data)) * np.float64(acc))


def change_points(x):
    return np.where(np.diff(x) != 0)[0]


def ombrix(x):
    x = np.asarray(x, dtype=float)
    cp = change_points(x)
    table = np.zeros((len(cp) + 1, 3))
    table[:, 0] = np.concatenate(([0], cp))
    table[:, 1] = np.concatenate((cp, [len(x) - 1]))
    table[:, 2] = table[:, 1] - table[:, 0] + 1
    score = 0.0
    r = table.shape[0]
    if r >= 2:
        with np.errstate(all="ignore"):
            a = float(r / np.sum(table[:, 2]))
            s = skew(table[:, 2])
            b = float(1 / (1 + np.exp(s)))
            v = float(np.var(x))
            score = (a * b) * v
    return {"smooth_segment": table.tolist(), "rearrange_score": score}


def cal_limit(x):
    counter = {}
    for e in x:
        e = float(e)
        counter[e] = counter[e] + 1 if e in counter else 1
    if len(counter) <= 1:
        return -1
    top = sorted(counter.items(), key=lambda a: -a[1])[0][0]
    count = all_count = 0.0
    for e in x:
        d = float(e) - top
        if d != 0.0:
            all_count += 1.0
            if d in (1.0, -1.0):
                count += 1.0
    return count / all_count


def cal_R(x):
    x = np.asarray(x, dtype=float)
    cp = change_points(x).astype("double")
    n = len(cp)
    if n < 2:
        return 0.0
    with np.errstate(all="ignore"):
        gaps = np.abs(np.diff(cp))
        w = float(1.0 / (1.0 + np.exp(-skew(gaps))))
        v = float(np.var(x))
    return (n / len(x)) * w * v


def permutation_bg(data, lbd, possion_lbd, seed=1):
    N = len(data)
    n = N
    np.random.seed(seed)
    d = np.random.poisson(possion_lbd)
    weights = np.random.exponential(lbd, size=d if d > 1 else 1)
    if len(weights) <= 2:
        return np.inf
    weights /= np.sum(weights)
    cut = np.cumsum(np.round(weights * n))
    cut = cut[cut != 0]
    cut = cut[cut != N]
    cut = np.concatenate(([0], cut, [N]))
    run_lengths, run_means, pieces = [], [], []
    for j in range(len(cut) - 1):
        start, end = int(cut[j]), int(cut[j + 1])
        if end < start:
            continue
        length = end - start
        m = float(np.float32(float(np.round(np.mean(data[start:end])))))
        pieces.append(np.repeat(m, length))
        if not run_means:
            run_means.append(m)
            run_lengths.append(length)
        elif m == run_means[-1]:
            run_lengths[-1] = run_lengths[-1] + length
        else:
            run_means.append(m)
            run_lengths.append(length)
    try:
        r = len(run_lengths)
        if r < 2:
            return 0.0
        ratio = r / N
        s = skew(np.array(run_lengths, dtype=float))
        w = float(1 / (1 + np.exp(s)))
        v = float(np.var(np.concatenate(pieces)))
        return (w * ratio) * v
    except Exception:
        return 0.0


def permutation_score(x, cnv, exp_lambda, possion_lambda, chr_num, random_num, random):
    score = ombrix(cnv)
    score["limit"] = float(np.float32(float(cal_limit(cnv))))
    exp_lbd = float(exp_lambda[x])
    possion_lbd = float(possion_lambda[chr_num])
    num_greater = 0
    if random:
        if np.isnan(exp_lbd):
            exp_lbd = float(np.mean(exp_lambda, where=~np.isnan(exp_lambda)))
        if np.isnan(possion_lbd):
            possion_lbd = np.mean(possion_lambda, where=~np.isnan(possion_lambda))
        if np.isnan(exp_lbd) or np.isnan(possion_lbd):
            num_greater = random_num
        else:
            for i in range(1, random_num + 1):
                bg = float(np.float32(float(permutation_bg(cnv, exp_lbd, float(possion_lbd), i))))
                if bg >= score["rearrange_score"]:
                    num_greater += 1
    return {"dc": score, "num_greater": num_greater, "x": x}


def perm_cnv(cnv, exp_lam, possion_lam, random_num, seed):
    n = len(cnv)
    np.random.seed(seed)
    draws = np.random.poisson(possion_lam, size=random_num).astype("double")
    result = []
    for k, draw in enumerate(draws):
        d = int(draw)
        if d == 0:
            result.append(0)
            continue
        np.random.seed(k)
        weights = np.random.exponential(exp_lam, size=d + 1)
        weights /= np.sum(weights)
        cut = np.cumsum(np.round(weights * n))
        cut = cut[cut != 0]
        cut = cut[cut < n]
        cut = np.concatenate(([0], cut, [n]))
        pieces = []
        for j in range(len(cut) - 1):
            start, end = int(cut[j]), int(cut[j + 1])
            pieces.append(np.repeat(np.mean(cnv[start:end]), end - start))
        result.append(cal_R(np.concatenate(pieces)))
    return result
