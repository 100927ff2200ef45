"""An exact n x n product on a local Dask cluster against one process, in one run.

    PYTHONPATH=build/python python3 bench/bench_dask.py --n 4096

The cluster has --workers processes of one thread each (loopback only); the one process
uses as many libvexa threads as the cluster has workers. Operands are random normal
numpy arrays, generated once; the cluster gets them as Dask arrays. Prints the wall time
of each, the task graph's size and whether the words are bit-identical.
"""

import argparse
import time

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait as distributed_wait

from dravenholt.vexa import gemm_triple, set_num_threads
from dravenholt.vexa import dask as vexa_dask


def timed(function):
    start = time.perf_counter()
    result = function()
    return result, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2048)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-budget", type=int, default=vexa_dask.DEFAULT_MEMORY_BUDGET)
    arguments = parser.parse_args()
    n = arguments.n
    rng = np.random.default_rng(0)
    A, B = rng.standard_normal((n, n)), rng.standard_normal((n, n))

    set_num_threads(arguments.workers)
    single, single_seconds = timed(lambda: gemm_triple(A, B))
    print(f"one process, {arguments.workers} libvexa threads: {single_seconds:.2f} s", flush=True)

    with LocalCluster(processes=True, n_workers=arguments.workers, threads_per_worker=1,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
        chunks = max(1, n // 4)
        # The operands go to the workers first; only the product is timed.
        def load():
            operands = client.persist([da.from_array(A, chunks=chunks),
                                       da.from_array(B, chunks=chunks)])
            distributed_wait(operands)
            return operands

        (dA, dB), load_seconds = timed(load)
        words = vexa_dask.gemm_triple(dA, dB, memory_budget=arguments.memory_budget)
        graph = {}
        for word in words:
            graph.update(dict(word.__dask_graph__()))
        blocks = words[0].numblocks
        computed, cluster_seconds = timed(lambda: dask.compute(*words))
    print(f"local cluster, {arguments.workers} workers x 1 thread: {cluster_seconds:.2f} s "
          f"(task graph of the three words: {len(graph)} tasks, {blocks[0]} x {blocks[1]} "
          f"product blocks; operands sent beforehand in {load_seconds:.2f} s)")
    same = all(np.array_equal(np.ascontiguousarray(x).view(np.uint8), y.view(np.uint8))
               for x, y in zip(computed, single))
    print(f"bit-identical: {same}")


if __name__ == "__main__":
    main()
