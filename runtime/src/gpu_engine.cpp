// The GPU engine's orchestration, written against the device interface only: planning on
// the host, then per block of rows and columns (and K chunk) gather -> upload -> residues ->
// batched int8 products -> residue folding or CRT and rounding -> download -> scatter.
//
// Unlike the CPU driver it uses one modulus count for the whole product: a batched
// product over all moduli is one device call, and sorting lines by norm to save moduli
// per tile would cost more calls than it saves on a device.
#include "gpu_engine.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <vector>

#include "exact_core.h"
#include "fast_plan.h"
#include "fastpath_driver.h"
#include "int8_fastpath.h"
#include "parallel.h"
#include "planning.h"
#include "vexa.h"

namespace vexa::gpu {
namespace {

using Clock = std::chrono::steady_clock;
using fast::driver::round_up;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::mutex timing_lock;
GpuTiming latest_timing;

void record(const GpuTiming& t) {
    std::lock_guard<std::mutex> hold(timing_lock);
    latest_timing = t;
}

// Device buffers of one call, released together however the call ends.
class Buffers {
public:
    explicit Buffers(const DeviceOps& d) : d_(d) {}
    ~Buffers() {
        for (void* p : held_) d_.release(d_.self, p);
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    template <class T>
    int get(T** ptr, int64_t count) {
        void* p = nullptr;
        const int status = d_.allocate(d_.self, &p, std::max<int64_t>(1, count) * int64_t(sizeof(T)));
        *ptr = static_cast<T*>(p);
        if (status == VEXA_OK) held_.push_back(p);
        return status;
    }

private:
    const DeviceOps& d_;
    std::vector<void*> held_;
};

// Device bytes of one block of mb rows, nb columns (multiples of 16) and a K chunk of kb.
int64_t block_bytes(int64_t mb, int64_t nb, int64_t kb, int L, int64_t pow2_count, bool chunked, bool res64) {
    return int64_t(sizeof(fast::CrtPlan)) + 2 * L * pow2_count + 4 * (mb + nb) + 8 * kb * (mb + nb) + L * kb * (mb + nb) +
           4 * L * mb * nb + (chunked ? L * mb * nb : 0) + mb * nb * (16 + (res64 ? 8 : 4) + 1);
}

#define VEXA_TRY(call)                              \
    do {                                            \
        const int status_ = (call);                 \
        if (status_ != VEXA_OK) return status_;     \
    } while (0)

int drive(const GemmProblem& pb, int threads, const DeviceOps& dev, const EngineOptions& opt) {
    GpuTiming timing;
    const int64_t M = pb.M, N = pb.N, K = pb.K;
    const auto t0 = Clock::now();
    auto all_exact = [&]() {
        const int status = exact::gemm(pb, threads);
        timing.fallback = seconds_since(t0);
        timing.excluded_rows = M;
        record(timing);
        return status;
    };
    if (double(M) * double(N) * double(K) < double(opt.fast.min_work) || std::min(M, N) < opt.fast.min_side)
        return all_exact();

    // ---- Planning, as the CPU fast path plans ----
    std::vector<fast::LineWindow> row_win(static_cast<size_t>(M)), col_win(static_cast<size_t>(N));
    fast::scan_windows(pb, fast::portable_scan_lines, threads, row_win, col_win);
    const fast::ModulusList list = int8::moduli();
    const fast::ModulusChoice choice =
        fast::choose_moduli(fast::census(row_win), fast::census(col_win), M, N, K, list, opt.fast);
    if (choice.count == 0) return all_exact();
    const int L = choice.count;
    std::vector<int64_t> rows, cols, excluded_rows, excluded_cols;
    for (int64_t i = 0; i < M; ++i) {
        const fast::LineWindow& w = row_win[size_t(i)];
        (!w.special && w.width <= choice.cap_a ? rows : excluded_rows).push_back(i);
    }
    for (int64_t j = 0; j < N; ++j) {
        const fast::LineWindow& w = col_win[size_t(j)];
        (!w.special && w.width <= choice.cap_b ? cols : excluded_cols).push_back(j);
    }
    // 2^t mod p_l for every shift an admitted line can need (t below its width), and 2^32.
    const int64_t pow2_count = std::max<int64_t>(33, std::max(choice.cap_a, choice.cap_b));
    fast::CrtPlan plan;
    fast::build_crt_plan(list, L, plan);
    if (plan.digits > fast::kMaxDigits) return VEXA_ERROR_INTERNAL;

    // ---- Blocking within the device memory: the largest of the three sides is halved
    // until a block fits ----
    const int64_t Mi = int64_t(rows.size()), Ni = int64_t(cols.size());
    const bool res64 = pb.C_res64 != nullptr;
    const int64_t chunk = std::max<int64_t>(16, std::min(opt.chunk, kMaxChunk) / 16 * 16);
    // Rows and columns of a block stay within what one dimension of a device grid spans.
    constexpr int64_t kMaxSide = int64_t(1) << 20;
    int64_t Mb = round_up(std::min(std::max<int64_t>(Mi, 1), kMaxSide), 16);
    int64_t Nb = round_up(std::min(std::max<int64_t>(Ni, 1), kMaxSide), 16);
    int64_t Kb = std::min(round_up(K, 16), chunk);
    int64_t available = 0;
    VEXA_TRY(dev.available(dev.self, &available));
    const int64_t budget = int64_t(double(available) * opt.memory_fraction);
    while (block_bytes(Mb, Nb, Kb, L, pow2_count, Kb < K, res64) > budget) {
        if (Mb >= Nb && Mb >= Kb && Mb > 16) Mb = round_up(Mb / 2, 16);
        else if (Nb >= Kb && Nb > 16) Nb = round_up(Nb / 2, 16);
        else if (Kb > 16) Kb = round_up(Kb / 2, 16);
        else if (Mb > 16) Mb = round_up(Mb / 2, 16);
        else return VEXA_ERROR_OUT_OF_MEMORY;
    }
    const bool chunked = Kb < K;

    // ---- Every allocation before the first output element is written ----
    Buffers buffers(dev);
    fast::CrtPlan* d_plan;
    int32_t *d_row_shift, *d_col_shift, *d_products;
    double *d_a, *d_b, *d_hi, *d_lo, *d_res64 = nullptr;
    int8_t *d_res_a, *d_res_b;
    uint8_t *d_acc = nullptr, *d_zero;
    float* d_res = nullptr;
    VEXA_TRY(buffers.get(&d_plan, 1));
    std::vector<uint16_t> pow2(size_t(L * pow2_count));
    for (int l = 0; l < L; ++l) {
        uint32_t v = 1 % uint32_t(list.p[l]);
        for (int64_t t = 0; t < pow2_count; ++t, v = v * 2 % uint32_t(list.p[l])) pow2[size_t(l * pow2_count + t)] = uint16_t(v);
    }
    uint16_t* d_pow2;
    VEXA_TRY(buffers.get(&d_pow2, L * pow2_count));
    VEXA_TRY(buffers.get(&d_row_shift, Mb));
    VEXA_TRY(buffers.get(&d_col_shift, Nb));
    VEXA_TRY(buffers.get(&d_a, Mb * Kb));
    VEXA_TRY(buffers.get(&d_b, Kb * Nb));
    VEXA_TRY(buffers.get(&d_res_a, L * Mb * Kb));
    VEXA_TRY(buffers.get(&d_res_b, L * Nb * Kb));
    VEXA_TRY(buffers.get(&d_products, L * Mb * Nb));
    if (chunked) VEXA_TRY(buffers.get(&d_acc, L * Mb * Nb));
    VEXA_TRY(buffers.get(&d_hi, Mb * Nb));
    VEXA_TRY(buffers.get(&d_lo, Mb * Nb));
    if (res64) VEXA_TRY(buffers.get(&d_res64, Mb * Nb));
    else VEXA_TRY(buffers.get(&d_res, Mb * Nb));
    VEXA_TRY(buffers.get(&d_zero, Mb * Nb));
    std::vector<double> a_host(size_t(Mb * Kb)), b_host(size_t(Kb * Nb));
    std::vector<double> hi(size_t(Mb * Nb)), lo(size_t(Mb * Nb)), third64(res64 ? size_t(Mb * Nb) : 0);
    std::vector<float> third(res64 ? 0 : size_t(Mb * Nb));
    std::vector<uint8_t> zero(size_t(Mb * Nb));
    std::vector<int32_t> row_shift(static_cast<size_t>(Mb)), col_shift(static_cast<size_t>(Nb));
    timing.planning = seconds_since(t0);

    // The excluded lines through the exact core first: it allocates too.
    auto t1 = Clock::now();
    if (!excluded_rows.empty())
        VEXA_TRY(exact::gemm_selected(pb, threads, excluded_rows.data(), int64_t(excluded_rows.size()), nullptr, 0));
    if (!excluded_cols.empty() && Mi > 0)
        VEXA_TRY(exact::gemm_selected(pb, threads, rows.data(), Mi, excluded_cols.data(),
                                      int64_t(excluded_cols.size())));
    timing.fallback = seconds_since(t1);

    auto phase = [&](double& slot, auto&& body) {
        const auto start = Clock::now();
        int status = body();
        if (status == VEXA_OK && opt.profile) status = dev.synchronize(dev.self);
        slot += seconds_since(start);
        return status;
    };
    VEXA_TRY(phase(timing.upload, [&] {
        int s = dev.to_device(dev.self, d_plan, &plan, sizeof plan);
        return s == VEXA_OK ? dev.to_device(dev.self, d_pow2, pow2.data(), int64_t(2 * pow2.size())) : s;
    }));
    ResiduePass pass{};
    pass.count = L;
    for (int l = 0; l < L; ++l) pass.p[l] = uint32_t(list.p[l]);
    pass.pow2 = d_pow2;
    pass.pow2_count = pow2_count;

    for (int64_t m0 = 0; m0 < Mi; m0 += Mb) {
        const int64_t mb = std::min(Mb, Mi - m0), mp = round_up(mb, 16);
        for (int64_t r = 0; r < mb; ++r) row_shift[size_t(r)] = row_win[size_t(rows[size_t(m0 + r)])].shift;
        VEXA_TRY(phase(timing.upload, [&] {
            return dev.to_device(dev.self, d_row_shift, row_shift.data(), 4 * mb);
        }));
        for (int64_t n0 = 0; n0 < Ni; n0 += Nb) {
            const int64_t nb = std::min(Nb, Ni - n0), np = round_up(nb, 16);
            ++timing.blocks;
            for (int64_t c = 0; c < nb; ++c) col_shift[size_t(c)] = col_win[size_t(cols[size_t(n0 + c)])].shift;
            VEXA_TRY(phase(timing.upload, [&] {
                return dev.to_device(dev.self, d_col_shift, col_shift.data(), 4 * nb);
            }));
            for (int64_t k0 = 0; k0 < K; k0 += Kb) {
                const int64_t kb = std::min(Kb, K - k0), kp = round_up(kb, 16);
                ++timing.chunks;
                // With K in one chunk the residues of A serve every column block: the
                // device keeps them from the block's first one.
                const bool new_a = chunked || n0 == 0;
                // The device may still be reading the host buffers of the last chunk.
                VEXA_TRY(dev.synchronize(dev.self));
                auto tg = Clock::now();
                vexa::parallel_for((mb + 15) / 16 + (kb + 15) / 16, threads, [&](int64_t t) {
                    const int64_t a_tasks = new_a ? (mb + 15) / 16 : 0;
                    if (t < a_tasks) {
                        for (int64_t r = t * 16; r < std::min(mb, t * 16 + 16); ++r)
                            std::copy_n(pb.A + rows[size_t(m0 + r)] * K + k0, kb, &a_host[size_t(r * kb)]);
                    } else if (t >= (mb + 15) / 16) {
                        const int64_t k1 = (t - (mb + 15) / 16) * 16;
                        for (int64_t k = k1; k < std::min(kb, k1 + 16); ++k) {
                            const double* row = pb.B + (k0 + k) * N;
                            double* to = &b_host[size_t(k * nb)];
                            for (int64_t c = 0; c < nb; ++c) to[c] = row[cols[size_t(n0 + c)]];
                        }
                    }
                });
                timing.gather += seconds_since(tg);
                VEXA_TRY(phase(timing.upload, [&] {
                    int s = new_a ? dev.to_device(dev.self, d_a, a_host.data(), 8 * mb * kb) : VEXA_OK;
                    return s == VEXA_OK ? dev.to_device(dev.self, d_b, b_host.data(), 8 * kb * nb) : s;
                }));
                VEXA_TRY(phase(timing.residues, [&] {
                    int s = VEXA_OK;
                    if (new_a) {
                        ResiduePass a = pass;
                        a.src = d_a, a.line_stride = kb, a.k_stride = 1, a.lines = mb, a.k_count = kb;
                        a.shift = d_row_shift, a.out = d_res_a, a.out_stride = kp, a.out_lines = mp;
                        a.modulus_stride = Mb * Kb;
                        s = dev.residues(dev.self, &a);
                    }
                    if (s != VEXA_OK) return s;
                    ResiduePass b = pass;
                    b.src = d_b, b.line_stride = 1, b.k_stride = nb, b.lines = nb, b.k_count = kb;
                    b.shift = d_col_shift, b.out = d_res_b, b.out_stride = kp, b.out_lines = np;
                    b.modulus_stride = Nb * Kb;
                    return dev.residues(dev.self, &b);
                }));
                VEXA_TRY(phase(timing.products, [&] {
                    const GemmPass g{d_res_a, d_res_b, d_products, mp, np, kp, Mb * Kb, Nb * Kb, Mb * Nb, L};
                    return dev.gemm(dev.self, &g);
                }));
                VEXA_TRY(phase(timing.words, [&] {
                    const WordsPass w{d_products, d_acc, mb, nb, np, Mb * Nb, k0 > 0, k0 + kb >= K,
                                      d_plan, d_row_shift, d_col_shift, d_hi, d_lo, d_res, d_res64, d_zero};
                    return dev.words(dev.self, &w);
                }));
            }
            VEXA_TRY(phase(timing.download, [&] {
                int s = dev.to_host(dev.self, hi.data(), d_hi, 8 * mb * np);
                if (s == VEXA_OK) s = dev.to_host(dev.self, lo.data(), d_lo, 8 * mb * np);
                if (s == VEXA_OK)
                    s = res64 ? dev.to_host(dev.self, third64.data(), d_res64, 8 * mb * np)
                              : dev.to_host(dev.self, third.data(), d_res, 4 * mb * np);
                if (s == VEXA_OK) s = dev.to_host(dev.self, zero.data(), d_zero, mb * np);
                return s == VEXA_OK ? dev.synchronize(dev.self) : s;
            }));
            auto ts = Clock::now();
            vexa::parallel_for(mb, threads, [&](int64_t r) {
                const int64_t i = rows[size_t(m0 + r)];
                for (int64_t c = 0; c < nb; ++c) {
                    const int64_t j = cols[size_t(n0 + c)], at = r * np + c, to = i * N + j;
                    pb.C_hi[to] = zero[size_t(at)] ? fast::driver::signed_zero(pb.A + i * K, pb.B + j, N, K)
                                                   : hi[size_t(at)];
                    pb.C_lo[to] = lo[size_t(at)];
                    if (res64) pb.C_res64[to] = third64[size_t(at)];
                    else pb.C_res[to] = third[size_t(at)];
                }
            });
            timing.scatter += seconds_since(ts);
        }
    }
    timing.moduli = L;
    timing.excluded_rows = int64_t(excluded_rows.size());
    timing.excluded_cols = int64_t(excluded_cols.size());
    record(timing);
    return VEXA_OK;
}

}  // namespace

GpuTiming last_gpu_timing() {
    std::lock_guard<std::mutex> hold(timing_lock);
    return latest_timing;
}

int gemm(const GemmProblem& problem, int threads, const DeviceOps& device, const EngineOptions& options) {
    try {
        return drive(problem, threads, device, options);
    } catch (const std::bad_alloc&) {
        return VEXA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return VEXA_ERROR_INTERNAL;
    }
}

}  // namespace vexa::gpu
