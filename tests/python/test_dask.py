"""dravenholt.vexa.dask on a two-process local cluster (loopback only): bit-identical to
the one-machine product whatever the chunking, the thread each task takes, a worker
killed mid-computation, and the memory-budget error."""

import os
import signal
import time

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import dask  # noqa: E402  (after the skips above)

from exact_oracle import oracle_case  # noqa: E402


@pytest.fixture(scope="module")
def vd():
    from dravenholt.vexa import dask as module

    return module


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  host="127.0.0.1", dashboard_address=None) as local:
        with distributed.Client(local):
            yield local


def bits(words):
    return [np.ascontiguousarray(w).view(np.uint8) for w in words]


def one_machine(A, B):
    from dravenholt.vexa import gemm_triple

    return gemm_triple(A, B)


def wide_cancellation():
    rng = np.random.default_rng(16)
    v = 10.0 ** rng.uniform(-40, 40, size=(9, 20)) * rng.choice([-1.0, 1.0], size=(9, 20))
    w = 10.0 ** rng.uniform(-40, 40, size=(20, 11))
    return np.concatenate([v, -v, v[:, :5]], axis=1), np.concatenate([w, w, w[:5]], axis=0)


CASES = {
    # 37 x 53 @ 53 x 29 in chunks that divide nothing, K cut in three
    "uneven, chunked K": lambda: (da.from_array(np.random.default_rng(1).standard_normal((37, 53)),
                                                chunks=(10, 20)),
                                  da.from_array(np.random.default_rng(2).standard_normal((53, 29)),
                                                chunks=(20, 7))),
    "specials": lambda: oracle_case("specials"),
    "heavy cancellation": wide_cancellation,
}


@pytest.mark.parametrize("name", CASES)
def test_bit_identical_to_one_machine(cluster, vd, name):
    A, B = CASES[name]()
    budget = vd.task_bytes(8, 8, np.shape(A)[1])  # blocks of at most 8 x 8: many tasks
    triple = vd.gemm_triple(A, B, memory_budget=budget)
    pair = vd.gemm_pair(A, B, memory_budget=budget)
    folded = vd.gemm(A, B, memory_budget=budget)
    assert all(isinstance(x, da.Array) for x in (*triple, *pair, folded))
    assert np.prod(vd.gemm_triple(A, B)[0].numblocks) >= 2  # a block for each worker
    *computed, pair_hi, pair_lo, C = dask.compute(*triple, *pair, folded)
    want = one_machine(np.asarray(A), np.asarray(B))
    assert [w.dtype for w in computed] == [np.float64, np.float64, np.float32]
    assert all(np.array_equal(x, y) for x, y in zip(bits(computed), bits(want)))
    assert all(np.array_equal(x, y) for x, y in zip(bits([pair_hi, pair_lo]), bits(want[:2])))
    assert np.array_equal(bits([C])[0], bits([want[0] + want[1]])[0])


def test_tasks_take_one_worker_thread_and_leave_the_count_alone(cluster, vd):
    from dravenholt.vexa import get_num_threads, set_num_threads

    client = distributed.get_client()
    client.run(set_num_threads, 2)
    addresses = list(client.scheduler_info()["workers"])
    a, b = np.ones((2, 3)), np.ones((3, 2))
    for address in addresses:
        assert client.submit(vd._task_threads, workers=[address], pure=False).result() == 1
        client.submit(vd._triple_block, a, b, workers=[address], pure=False).result()
    assert client.run(get_num_threads) == {address: 2 for address in addresses}
    assert vd._task_threads() is None  # outside a worker: the process-wide count


def test_a_worker_killed_mid_computation_is_replaced_and_the_result_unchanged(cluster, vd):
    client = distributed.get_client()
    rng = np.random.default_rng(3)
    A, B = rng.standard_normal((480, 400)), rng.standard_normal((400, 480))
    triple = vd.gemm_triple(A, B, memory_budget=vd.task_bytes(120, 120, 400))  # 16 tasks
    futures = client.compute(list(triple))
    victim_address = victim = None
    deadline = time.monotonic() + 60
    while victim is None and time.monotonic() < deadline:
        busy = [address for address, keys in client.processing().items() if keys]
        for nanny in cluster.workers.values():
            if nanny.worker_address in busy:
                victim_address, victim = nanny.worker_address, nanny.process.process.pid
                break
        time.sleep(0.01)
    assert victim is not None, "no worker ever took a task"
    os.kill(victim, signal.SIGKILL)
    computed = client.gather(futures)
    assert all(np.array_equal(x, y) for x, y in zip(bits(computed), bits(one_machine(A, B))))
    deadline = time.monotonic() + 30
    while victim_address in client.scheduler_info()["workers"] and time.monotonic() < deadline:
        time.sleep(0.1)
    assert victim_address not in client.scheduler_info()["workers"]


def test_a_budget_below_one_row_and_column_fails_before_any_work(vd):
    def never(block):
        raise AssertionError("a block was computed")

    A = da.ones((4, 1000), chunks=(2, 500)).map_blocks(never, dtype=np.float64)
    B = da.ones((1000, 3), chunks=(500, 3))
    need = vd.task_bytes(1, 1, 1000)
    with pytest.raises(ValueError, match=f"memory_budget={need - 1} bytes cannot hold one row "
                                         f"of A and one column of B over all of K=1000"):
        vd.gemm_pair(A, B, memory_budget=need - 1)
    assert vd.block_shape(4, 3, 1000, need) == (1, 1)


@pytest.mark.parametrize("M, N, K, budget, min_blocks", [
    (4096, 4096, 4096, 1 << 30, 1), (4096, 4096, 4096, 1 << 30, 2), (10, 10**6, 1000, 1 << 20, 1),
    (10**6, 7, 300, 1 << 24, 1), (3, 1000, 10, 1 << 30, 8), (37, 29, 53, 20000, 1),
    (1, 1, 10, 1 << 30, 4)])
def test_blocks_fit_the_budget_and_feed_every_thread(vd, M, N, K, budget, min_blocks):
    rows, columns = vd.block_shape(M, N, K, budget, min_blocks)
    assert 1 <= rows <= M and 1 <= columns <= N
    assert vd.task_bytes(rows, columns, K) <= budget
    assert -(-M // rows) * -(-N // columns) >= min(min_blocks, M * N)


@pytest.mark.parametrize("A_shape, B_shape", [((0, 3), (3, 4)), ((2, 0), (0, 4)),
                                              ((2, 3), (3, 0))])
def test_empty_dimensions(vd, A_shape, B_shape):
    words = dask.compute(*vd.gemm_triple(np.ones(A_shape), np.ones(B_shape)),
                         scheduler="synchronous")
    assert all(np.array_equal(x, y) for x, y in
               zip(bits(words), bits(one_machine(np.ones(A_shape), np.ones(B_shape)))))


@pytest.mark.parametrize("A, B, message", [
    (np.ones((2, 3)), np.ones((4, 5)), "Matrix dimension mismatch: A is 2x3, B is 4x5"),
    (np.ones(3), np.ones((3, 1)), "need more than 1 value to unpack"),
])
def test_operand_errors_match_gemm_pair(vd, A, B, message):
    with pytest.raises(ValueError) as raised:
        vd.gemm_triple(A, B)
    assert raised.value.args == (message,)
