"""Running a script in fresh interpreters with different pool sizes, for the tests of identical
bits across thread counts."""
import os
import subprocess
import sys


def outputs_per_pool_size(script, pool_sizes=("1", "2", "3"), **env):
    """The set of distinct standard outputs of `script`, run once per pool size (the pool size is
    read once, from RAYON_NUM_THREADS, when the module loads)."""
    outputs = set()
    for threads in pool_sizes:
        done = subprocess.run([sys.executable, "-c", script],
                              env=dict(os.environ, RAYON_NUM_THREADS=threads, **env),
                              capture_output=True, text=True, check=True)
        outputs.add(done.stdout)
    return outputs
