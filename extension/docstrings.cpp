// Text is UTF-8; the one non-ASCII character (an em dash) is spelled as escapes so that
// compilers that do not read sources as UTF-8 (MSVC without /utf-8) keep it intact.
#include "docstrings.h"

namespace vexa_ext::docstrings {

const char* const kModule =
    "\n"
    "Vexa \xE2\x80\x94 130-Bit Precision GPU Runtime Python Wrapper\n"
    "====================================================\n"
    "\n"
    "130-bit precision (exceeds IEEE FP128) matrix multiplication on GPU.\n"
    "Achieves 10^15-10^16x improvement over standard FP64.\n"
    "\n"
    "API versions:\n"
    "- vexa_gemm_host(A, B, C_hi, C_lo, C_res, M, N, K): 130-bit (full precision)\n"
    "- vexa_gemm_host_106(A, B, C_hi, C_lo, M, N, K): 106-bit (legacy)\n"
    "\n"
    "Usage:\n"
    "    from dravenholt.vexa.vexa import Vexa\n"
    "\n"
    "    q = Vexa()  # Auto-loads the library\n"
    "    C = q.gemm(A, B)\n"
    "\n"
    "    # Or get the (hi, lo) pair for full precision\n"
    "    C_hi, C_lo = q.gemm_pair(A, B)\n"
    "\n"
    "Precision Verification:\n"
    "    from dravenholt.vexa.vexa import verify_precision\n"
    "    verify_precision(K=256)\n"
    "\n"
    "Author: Dravenholt\n"
    "Date: February 2026\n";

const char* const kVexaClass =
    "\n"
    "    Vexa Quad-Precision GEMM Runtime\n"
    "\n"
    "    Provides true ~10^-31 precision matrix multiplication using\n"
    "    Error-Free Transformations (EFT) on GPU.\n"
    "    ";

const char* const kD =
    "\n"
    "    Convert float to EXACT Decimal representation.\n"
    "\n"
    "    CRITICAL: Use from_float(), NOT str()!\n"
    "    - Decimal(str(1.1)) = 1.1 (loses bits!)\n"
    "    - Decimal.from_float(1.1) = 1.100000000000000088817... (exact!)\n"
    "    ";

const char* const kComputeGroundTruth =
    "\n"
    "    Compute exact GEMM result using Decimal arithmetic.\n"
    "\n"
    "    CRITICAL: Uses Decimal.from_float() for exact conversion.\n"
    "\n"
    "    Args:\n"
    "        A, B: Input matrices (numpy float64)\n"
    "\n"
    "    Returns:\n"
    "        2D list of Decimal objects with exact result\n"
    "    ";

const char* const kVerifyPrecision =
    "\n"
    "    Verify Vexa achieves true quad precision.\n"
    "\n"
    "    Compares Vexa output against exact Decimal ground truth.\n"
    "\n"
    "    Args:\n"
    "        K: Inner dimension (larger = more accumulation)\n"
    "        M, N: Output matrix dimensions\n"
    "        seed: Random seed for reproducibility\n"
    "\n"
    "    Returns:\n"
    "        dict with precision metrics\n"
    "    ";

const char* const kTest = "Quick test of Vexa functionality.";

const char* const kInit =
    "\n"
    "        Initialize Vexa runtime.\n"
    "\n"
    "        Args:\n"
    "            dll_path: Path to Vexa DLL/SO. Auto-detected if None.\n"
    "        ";

const char* const kFindDll = "Find Vexa library in standard locations.";
const char* const kLoadDll = "Load the Vexa DLL.";
const char* const kSetupFunctions = "Setup ctypes function signatures.";
const char* const kVersion = "Get Vexa version string.";

const char* const kGemmPair =
    "\n"
    "        130-bit precision matrix multiply returning (hi, lo) pair.\n"
    "\n"
    "        The full precision result is: C = C_hi + C_lo (+ C_res for extra bits)\n"
    "\n"
    "        Args:\n"
    "            A: Matrix of shape (M, K), float64\n"
    "            B: Matrix of shape (K, N), float64\n"
    "\n"
    "        Returns:\n"
    "            (C_hi, C_lo): Tuple of matrices, each (M, N) float64\n"
    "                         Full result: C_hi + C_lo with ~10^-31 precision\n"
    "        ";

const char* const kGemm =
    "\n"
    "        Quad-precision matrix multiply returning single result.\n"
    "\n"
    "        Note: The returned float64 matrix only holds ~16 digits.\n"
    "        For full ~32 digit precision, use gemm_pair() and combine\n"
    "        using Decimal arithmetic.\n"
    "\n"
    "        Args:\n"
    "            A: Matrix of shape (M, K), float64\n"
    "            B: Matrix of shape (K, N), float64\n"
    "\n"
    "        Returns:\n"
    "            C: Matrix of shape (M, N), float64 (high part only)\n"
    "        ";

const char* const kGemmDecimal =
    "\n"
    "        Quad-precision matrix multiply with Decimal output.\n"
    "\n"
    "        Returns the full ~32 digit precision result as Decimal objects.\n"
    "        Slower but preserves all computed precision.\n"
    "\n"
    "        Args:\n"
    "            A: Matrix of shape (M, K), float64\n"
    "            B: Matrix of shape (K, N), float64\n"
    "\n"
    "        Returns:\n"
    "            C: 2D list of Decimal objects with full precision\n"
    "        ";

}  // namespace vexa_ext::docstrings
