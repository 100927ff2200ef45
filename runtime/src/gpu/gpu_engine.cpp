// The GPU engine's orchestration, written against the device interface only: planning on
// the host, then per block of rows and columns (and K chunk) gather -> upload -> residues ->
// batched int8 products -> residue folding or CRT and rounding -> download -> scatter.
//
// Unlike the CPU driver it uses one modulus count for the whole product: a batched
// product over all moduli is one device call, and sorting lines by norm to save moduli
// per tile would cost more calls than it saves on a device.
#include "gpu/gpu_engine.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <vector>

#include "exact/exact_core.h"
#include "fastpath/fast_plan.h"
#include "fastpath/fastpath_driver.h"
#include "fastpath/int8_fastpath.h"
#include "support/parallel.h"
#include "fastpath/planning.h"
#include "vexa.h"

namespace vexa::gpu {
namespace {

using fast::driver::round_up;

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

// The lines admitted, the moduli and the blocking of one product on the device.
struct DevicePlan {
    fast::ModulusList list{};
    int L = 0;  // 0: the whole product through the exact core
    std::vector<fast::LineWindow> row_win, col_win;
    std::vector<int64_t> rows, cols, excluded_rows, excluded_cols;
    int64_t pow2_count = 0;  // 2^t mod p_l for t below this
    fast::CrtPlan crt;
    int64_t Mb = 0, Nb = 0, Kb = 0;
    bool chunked = false, res64 = false;
};

// Windows, admitted widths and the CRT plan, as the CPU fast path plans them.
int plan_lines(const GemmProblem& pb, int threads, const EngineOptions& opt, DevicePlan& p) {
    const int64_t M = pb.M, N = pb.N, K = pb.K;
    p.row_win.resize(size_t(M));
    p.col_win.resize(size_t(N));
    fast::scan_windows(pb, fast::portable_scan_lines, threads, p.row_win, p.col_win);
    p.list = int8::moduli();
    const fast::ModulusChoice choice =
        fast::choose_moduli(fast::census(p.row_win), fast::census(p.col_win), M, N, K, p.list, opt.fast,
                            fast::CountScope::kWhole);
    p.L = choice.count;
    if (p.L == 0) return VEXA_OK;
    for (int64_t i = 0; i < M; ++i) {
        const fast::LineWindow& w = p.row_win[size_t(i)];
        (!w.special && w.width <= choice.cap_a ? p.rows : p.excluded_rows).push_back(i);
    }
    for (int64_t j = 0; j < N; ++j) {
        const fast::LineWindow& w = p.col_win[size_t(j)];
        (!w.special && w.width <= choice.cap_b ? p.cols : p.excluded_cols).push_back(j);
    }
    // 2^t mod p_l for every shift an admitted line can need (t below its width), and 2^32.
    p.pow2_count = std::max<int64_t>(33, std::max(choice.cap_a, choice.cap_b));
    p.crt = fast::crt_plans(p.list, p.L)[p.L];
    return p.crt.digits > fast::kMaxDigits ? VEXA_ERROR_INTERNAL : VEXA_OK;
}

// Blocking within the device memory: the largest of the three sides is halved until a
// block fits.
int choose_blocks(const GemmProblem& pb, const DeviceOps& dev, const EngineOptions& opt, DevicePlan& p) {
    const int64_t Mi = int64_t(p.rows.size()), Ni = int64_t(p.cols.size());
    p.res64 = pb.C_res64 != nullptr;
    const int64_t chunk = std::max<int64_t>(16, std::min(opt.chunk, kMaxChunk) / 16 * 16);
    // Rows and columns of a block stay within what one dimension of a device grid spans.
    constexpr int64_t kMaxSide = int64_t(1) << 20;
    int64_t Mb = round_up(std::min(std::max<int64_t>(Mi, 1), kMaxSide), 16);
    int64_t Nb = round_up(std::min(std::max<int64_t>(Ni, 1), kMaxSide), 16);
    int64_t Kb = std::min(round_up(pb.K, 16), chunk);
    int64_t available = 0;
    VEXA_TRY(dev.available(dev.self, &available));
    const int64_t budget = int64_t(double(available) * opt.memory_fraction);
    while (block_bytes(Mb, Nb, Kb, p.L, p.pow2_count, Kb < pb.K, p.res64) > budget) {
        if (Mb >= Nb && Mb >= Kb && Mb > 16) Mb = round_up(Mb / 2, 16);
        else if (Nb >= Kb && Nb > 16) Nb = round_up(Nb / 2, 16);
        else if (Kb > 16) Kb = round_up(Kb / 2, 16);
        else if (Mb > 16) Mb = round_up(Mb / 2, 16);
        else return VEXA_ERROR_OUT_OF_MEMORY;
    }
    p.Mb = Mb, p.Nb = Nb, p.Kb = Kb;
    p.chunked = Kb < pb.K;
    return VEXA_OK;
}

// The device buffers of a plan and the host buffers that feed and drain them.
struct Space {
    fast::CrtPlan* d_plan = nullptr;
    int32_t *d_row_shift = nullptr, *d_col_shift = nullptr, *d_products = nullptr;
    double *d_a = nullptr, *d_b = nullptr, *d_hi = nullptr, *d_lo = nullptr, *d_res64 = nullptr;
    int8_t *d_res_a = nullptr, *d_res_b = nullptr;
    uint8_t *d_acc = nullptr, *d_zero = nullptr;
    float* d_res = nullptr;
    uint16_t* d_pow2 = nullptr;
    std::vector<uint16_t> pow2;
    std::vector<double> a_host, b_host, hi, lo, third64;
    std::vector<float> third;
    std::vector<uint8_t> zero;
    std::vector<int32_t> row_shift, col_shift;
};

// Every allocation, before the first output element is written.
int allocate(Buffers& buffers, const DevicePlan& p, Space& s) {
    const int L = p.L;
    const int64_t Mb = p.Mb, Nb = p.Nb, Kb = p.Kb;
    VEXA_TRY(buffers.get(&s.d_plan, 1));
    s.pow2.resize(size_t(L * p.pow2_count));
    for (int l = 0; l < L; ++l) {
        uint32_t v = 1 % uint32_t(p.list.p[l]);
        for (int64_t t = 0; t < p.pow2_count; ++t, v = v * 2 % uint32_t(p.list.p[l]))
            s.pow2[size_t(l * p.pow2_count + t)] = uint16_t(v);
    }
    VEXA_TRY(buffers.get(&s.d_pow2, L * p.pow2_count));
    VEXA_TRY(buffers.get(&s.d_row_shift, Mb));
    VEXA_TRY(buffers.get(&s.d_col_shift, Nb));
    VEXA_TRY(buffers.get(&s.d_a, Mb * Kb));
    VEXA_TRY(buffers.get(&s.d_b, Kb * Nb));
    VEXA_TRY(buffers.get(&s.d_res_a, L * Mb * Kb));
    VEXA_TRY(buffers.get(&s.d_res_b, L * Nb * Kb));
    VEXA_TRY(buffers.get(&s.d_products, L * Mb * Nb));
    if (p.chunked) VEXA_TRY(buffers.get(&s.d_acc, L * Mb * Nb));
    VEXA_TRY(buffers.get(&s.d_hi, Mb * Nb));
    VEXA_TRY(buffers.get(&s.d_lo, Mb * Nb));
    if (p.res64) VEXA_TRY(buffers.get(&s.d_res64, Mb * Nb));
    else VEXA_TRY(buffers.get(&s.d_res, Mb * Nb));
    VEXA_TRY(buffers.get(&s.d_zero, Mb * Nb));
    s.a_host.resize(size_t(Mb * Kb));
    s.b_host.resize(size_t(Kb * Nb));
    s.hi.resize(size_t(Mb * Nb));
    s.lo.resize(size_t(Mb * Nb));
    s.third64.resize(p.res64 ? size_t(Mb * Nb) : 0);
    s.third.resize(p.res64 ? 0 : size_t(Mb * Nb));
    s.zero.resize(size_t(Mb * Nb));
    s.row_shift.resize(size_t(Mb));
    s.col_shift.resize(size_t(Nb));
    return VEXA_OK;
}

// The admitted lines of one product block by block through the device.
class DeviceRun {
public:
    DeviceRun(const GemmProblem& pb, int threads, const DeviceOps& dev, const EngineOptions& opt,
              const DevicePlan& p, Space& s, GpuTiming& timing)
        : pb_(pb), threads_(threads), dev_(dev), opt_(opt), p_(p), s_(s), timing_(timing) {
        pass_.count = p.L;
        for (int l = 0; l < p.L; ++l) pass_.p[l] = uint32_t(p.list.p[l]);
        pass_.pow2 = s.d_pow2;
        pass_.pow2_count = p.pow2_count;
    }

    int run() {
        VEXA_TRY(phase(timing_.upload, [&] {
            int st = dev_.to_device(dev_.self, s_.d_plan, &p_.crt, sizeof p_.crt);
            return st == VEXA_OK ? dev_.to_device(dev_.self, s_.d_pow2, s_.pow2.data(), int64_t(2 * s_.pow2.size())) : st;
        }));
        const int64_t Mi = int64_t(p_.rows.size()), Ni = int64_t(p_.cols.size());
        for (int64_t m0 = 0; m0 < Mi; m0 += p_.Mb) {
            const int64_t mb = std::min(p_.Mb, Mi - m0);
            for (int64_t r = 0; r < mb; ++r) s_.row_shift[size_t(r)] = p_.row_win[size_t(p_.rows[size_t(m0 + r)])].shift;
            VEXA_TRY(phase(timing_.upload, [&] {
                return dev_.to_device(dev_.self, s_.d_row_shift, s_.row_shift.data(), 4 * mb);
            }));
            for (int64_t n0 = 0; n0 < Ni; n0 += p_.Nb) VEXA_TRY(block(m0, mb, n0, std::min(p_.Nb, Ni - n0)));
        }
        return VEXA_OK;
    }

private:
    // Runs body() and, when profiling, waits for the device, adding the time to `slot`.
    template <class Body>
    int phase(double& slot, Body&& body) {
        fast::driver::PhaseTimer timer(slot);
        const int status = body();
        return status == VEXA_OK && opt_.profile ? dev_.synchronize(dev_.self) : status;
    }

    int block(int64_t m0, int64_t mb, int64_t n0, int64_t nb) {
        ++timing_.blocks;
        for (int64_t c = 0; c < nb; ++c) s_.col_shift[size_t(c)] = p_.col_win[size_t(p_.cols[size_t(n0 + c)])].shift;
        VEXA_TRY(phase(timing_.upload, [&] {
            return dev_.to_device(dev_.self, s_.d_col_shift, s_.col_shift.data(), 4 * nb);
        }));
        for (int64_t k0 = 0; k0 < pb_.K; k0 += p_.Kb) {
            ++timing_.chunks;
            // With K in one chunk the residues of A serve every column block: the device
            // keeps them from the block's first one.
            const bool new_a = p_.chunked || n0 == 0;
            // The device may still be reading the host buffers of the last chunk.
            VEXA_TRY(dev_.synchronize(dev_.self));
            const int64_t kb = std::min(p_.Kb, pb_.K - k0);
            gather(m0, mb, n0, nb, k0, kb, new_a);
            VEXA_TRY(chunk(mb, nb, k0, kb, new_a));
        }
        return download_and_scatter(m0, mb, n0, nb);
    }

    void gather(int64_t m0, int64_t mb, int64_t n0, int64_t nb, int64_t k0, int64_t kb, bool new_a) {
        fast::driver::PhaseTimer timer(timing_.gather);
        const int64_t K = pb_.K, N = pb_.N;
        vexa::parallel_for((mb + 15) / 16 + (kb + 15) / 16, threads_, [&](int64_t t) {
            const int64_t a_tasks = new_a ? (mb + 15) / 16 : 0;
            if (t < a_tasks) {
                for (int64_t r = t * 16; r < std::min(mb, t * 16 + 16); ++r)
                    std::copy_n(pb_.A + p_.rows[size_t(m0 + r)] * K + k0, kb, &s_.a_host[size_t(r * kb)]);
            } else if (t >= (mb + 15) / 16) {
                const int64_t k1 = (t - (mb + 15) / 16) * 16;
                for (int64_t k = k1; k < std::min(kb, k1 + 16); ++k) {
                    const double* row = pb_.B + (k0 + k) * N;
                    double* to = &s_.b_host[size_t(k * nb)];
                    for (int64_t c = 0; c < nb; ++c) to[c] = row[p_.cols[size_t(n0 + c)]];
                }
            }
        });
    }

    // Upload, residues, the batched products and the folding or the words of one chunk.
    int chunk(int64_t mb, int64_t nb, int64_t k0, int64_t kb, bool new_a) {
        const int64_t mp = round_up(mb, 16), np = round_up(nb, 16), kp = round_up(kb, 16);
        const int64_t Mb = p_.Mb, Nb = p_.Nb, Kb = p_.Kb;
        VEXA_TRY(phase(timing_.upload, [&] {
            int st = new_a ? dev_.to_device(dev_.self, s_.d_a, s_.a_host.data(), 8 * mb * kb) : VEXA_OK;
            return st == VEXA_OK ? dev_.to_device(dev_.self, s_.d_b, s_.b_host.data(), 8 * kb * nb) : st;
        }));
        VEXA_TRY(phase(timing_.residues, [&] {
            int st = VEXA_OK;
            if (new_a) {
                ResiduePass a = pass_;
                a.src = s_.d_a, a.line_stride = kb, a.k_stride = 1, a.lines = mb, a.k_count = kb;
                a.shift = s_.d_row_shift, a.out = s_.d_res_a, a.out_stride = kp, a.out_lines = mp;
                a.modulus_stride = Mb * Kb;
                st = dev_.residues(dev_.self, &a);
            }
            if (st != VEXA_OK) return st;
            ResiduePass b = pass_;
            b.src = s_.d_b, b.line_stride = 1, b.k_stride = nb, b.lines = nb, b.k_count = kb;
            b.shift = s_.d_col_shift, b.out = s_.d_res_b, b.out_stride = kp, b.out_lines = np;
            b.modulus_stride = Nb * Kb;
            return dev_.residues(dev_.self, &b);
        }));
        VEXA_TRY(phase(timing_.products, [&] {
            const GemmPass g{s_.d_res_a, s_.d_res_b, s_.d_products, mp, np, kp, Mb * Kb, Nb * Kb, Mb * Nb, p_.L};
            return dev_.gemm(dev_.self, &g);
        }));
        return phase(timing_.words, [&] {
            const WordsPass w{s_.d_products, s_.d_acc, mb, nb, np, Mb * Nb, k0 > 0, k0 + kb >= pb_.K,
                              s_.d_plan, s_.d_row_shift, s_.d_col_shift, s_.d_hi, s_.d_lo, s_.d_res, s_.d_res64, s_.d_zero};
            return dev_.words(dev_.self, &w);
        });
    }

    int download_and_scatter(int64_t m0, int64_t mb, int64_t n0, int64_t nb) {
        const int64_t np = round_up(nb, 16);
        VEXA_TRY(phase(timing_.download, [&] {
            int st = dev_.to_host(dev_.self, s_.hi.data(), s_.d_hi, 8 * mb * np);
            if (st == VEXA_OK) st = dev_.to_host(dev_.self, s_.lo.data(), s_.d_lo, 8 * mb * np);
            if (st == VEXA_OK)
                st = p_.res64 ? dev_.to_host(dev_.self, s_.third64.data(), s_.d_res64, 8 * mb * np)
                              : dev_.to_host(dev_.self, s_.third.data(), s_.d_res, 4 * mb * np);
            if (st == VEXA_OK) st = dev_.to_host(dev_.self, s_.zero.data(), s_.d_zero, mb * np);
            return st == VEXA_OK ? dev_.synchronize(dev_.self) : st;
        }));
        fast::driver::PhaseTimer timer(timing_.scatter);
        const int64_t N = pb_.N, K = pb_.K;
        vexa::parallel_for(mb, threads_, [&](int64_t r) {
            const int64_t i = p_.rows[size_t(m0 + r)];
            for (int64_t c = 0; c < nb; ++c) {
                const int64_t j = p_.cols[size_t(n0 + c)], at = r * np + c, to = i * N + j;
                pb_.C_hi[to] = s_.zero[size_t(at)] ? fast::driver::signed_zero(pb_.A + i * K, pb_.B + j, N, K)
                                                   : s_.hi[size_t(at)];
                pb_.C_lo[to] = s_.lo[size_t(at)];
                if (p_.res64) pb_.C_res64[to] = s_.third64[size_t(at)];
                else pb_.C_res[to] = s_.third[size_t(at)];
            }
        });
        return VEXA_OK;
    }

    const GemmProblem& pb_;
    const int threads_;
    const DeviceOps& dev_;
    const EngineOptions& opt_;
    const DevicePlan& p_;
    Space& s_;
    GpuTiming& timing_;
    ResiduePass pass_{};
};

int all_exact(const GemmProblem& pb, int threads, GpuTiming& timing) {
    fast::driver::PhaseTimer timer(timing.fallback);
    const int status = exact::gemm(pb, threads);
    timer.stop();
    timing.excluded_rows = pb.M;
    record(timing);
    return status;
}

int drive(const GemmProblem& pb, int threads, const DeviceOps& dev, const EngineOptions& opt) {
    GpuTiming timing;
    // Until the plan is made its time is the exact core's, should the exact core take all.
    fast::driver::PhaseTimer planning(timing.fallback);
    if (double(pb.M) * double(pb.N) * double(pb.K) < double(opt.fast.min_work) ||
        std::min(pb.M, pb.N) < opt.fast.min_side) {
        planning.stop();
        return all_exact(pb, threads, timing);
    }
    DevicePlan p;
    VEXA_TRY(plan_lines(pb, threads, opt, p));
    if (p.L == 0) {
        planning.stop();
        return all_exact(pb, threads, timing);
    }
    VEXA_TRY(choose_blocks(pb, dev, opt, p));
    Buffers buffers(dev);
    Space space;
    VEXA_TRY(allocate(buffers, p, space));
    planning.stop();
    timing.planning = timing.fallback;
    timing.fallback = 0;
    {
        // The excluded lines through the exact core first: it allocates too.
        fast::driver::PhaseTimer fallback(timing.fallback);
        if (!p.excluded_rows.empty())
            VEXA_TRY(exact::gemm_selected(pb, threads, p.excluded_rows.data(), int64_t(p.excluded_rows.size()), nullptr, 0));
        if (!p.excluded_cols.empty() && !p.rows.empty())
            VEXA_TRY(exact::gemm_selected(pb, threads, p.rows.data(), int64_t(p.rows.size()), p.excluded_cols.data(),
                                          int64_t(p.excluded_cols.size())));
    }
    VEXA_TRY(DeviceRun(pb, threads, dev, opt, p, space, timing).run());
    timing.moduli = p.L;
    timing.excluded_rows = int64_t(p.excluded_rows.size());
    timing.excluded_cols = int64_t(p.excluded_cols.size());
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
