"""Loads from several Python threads at once; the interpreter lock serialises the calls and every
result must still be the file's own."""

import threading

import numpy as np

import pcd_writer
import veloxel
from conftest import expected_fields

LAYOUTS = [
    pcd_writer.XYZ,
    pcd_writer.XYZ + [("intensity", "F", 4, 1), ("ring", "U", 2, 1)],
    [("x", "F", 8, 1), ("y", "F", 8, 1), ("z", "F", 8, 1), ("hist", "I", 4, 3)],
]


def test_threads_load_at_once(write):
    files = []
    for data in ("binary", "ascii", "binary_compressed"):
        for i, fields in enumerate(LAYOUTS):
            records = pcd_writer.random_records(fields, 50 + i, seed=i)
            files.append((write(fields, records, data), records))
    failures = []
    start = threading.Barrier(8)

    def worker(seed):
        start.wait()
        order = np.random.default_rng(seed).permutation(len(files) * 10) % len(files)
        for k in order:
            path, records = files[k]
            points, fields = veloxel.load_pcd(path)
            want = np.stack([records[c] for c in "xyz"], axis=1).astype("f4")
            got_fields = {name: np.asarray(a) for name, a in fields.items()}
            if not (np.array_equal(points, want) and got_fields.keys() == expected_fields(
                    records).keys() and all(np.array_equal(got_fields[n], v)
                                            for n, v in expected_fields(records).items())):
                failures.append(path)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
