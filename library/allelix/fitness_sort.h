// The exchange sort by fitness, run on a contiguous copy of the keys, with vector kernels for
// the processors that have them. Included by chromosome.h.
//
// One pass of the exchange sort from slot i is a running-maximum scan: with M the largest key
// seen so far in the pass (slot i's to begin with), each later key strictly greater than M is a
// record: its slot takes M's key and M's individual, and it becomes M; at the end of the pass
// slot i takes M. Every other slot is untouched. The kernels below compute exactly that, a block
// of lanes at a time: a prefix maximum finds the records of the block, and the individuals move
// one record down the chain.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace allelix::detail {

// An individual's pointer as the kernels carry it.
using Handle = long long;

// The running maximum of a pass and the individual it belongs to.
struct Record {
  double key;
  Handle handle;
};

// The kernels sort keys without NaN: the caller takes those out, since a NaN key never becomes
// a record and, as the first key of a pass, lets nothing move. -0.0 and 0.0 compare equal, so
// the running maximum may be either: only comparisons read it.

// Continues a pass over slots j to end - 1, one slot at a time.
inline Record ScanScalar(double* keys, Handle* handles, std::size_t j, std::size_t end,
                         Record record) {
  for (; j < end; ++j) {
    if (keys[j] > record.key) {
      std::swap(keys[j], record.key);
      std::swap(handles[j], record.handle);
    }
  }
  return record;
}

inline void SortKeysScalar(double* keys, Handle* handles, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const Record record = ScanScalar(keys, handles, i + 1, n, {keys[i], handles[i]});
    keys[i] = record.key;
    handles[i] = record.handle;
  }
}

// The lane of the last record in a block's record mask.
inline unsigned LastLane(unsigned records) {
  return static_cast<unsigned>(std::bit_width(records)) - 1;
}

#if defined(__x86_64__) && defined(__GNUC__)

// g++ 12 flags the deliberately undefined vectors inside its own AVX-512 intrinsics.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// For each 4-bit record mask, the 32-bit lanes that give each record lane the handle of the
// record before it, read from [M's handle, lane 0, lane 1, lane 2]; other lanes are not stored.
constexpr std::array<std::array<int, 8>, 16> ChainAvx2() {
  std::array<std::array<int, 8>, 16> table{};
  for (unsigned mask = 0; mask < 16; ++mask) {
    int source = 0;  // the first record takes M's handle
    for (int lane = 0; lane < 4; ++lane) {
      table[mask][2 * lane] = 2 * source;
      table[mask][2 * lane + 1] = 2 * source + 1;
      if ((mask >> lane) & 1u) source = lane + 1;
    }
  }
  return table;
}

inline constexpr std::array<std::array<int, 8>, 16> ChainTableAvx2 = ChainAvx2();

// Continues a pass from slot j with blocks of four lanes, the rest one slot at a time.
__attribute__((target("avx2"))) inline Record ScanAvx2(double* keys, Handle* handles, std::size_t j,
                                                       std::size_t end, Record record) {
  const __m256d none = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
  __m256d running = _mm256_set1_pd(record.key);
  for (; j + 4 <= end; j += 4) {
    const __m256d block = _mm256_loadu_pd(keys + j);
    // before: the largest key of the lanes before each lane in this block.
    __m256d before = _mm256_blend_pd(_mm256_permute4x64_pd(block, 0x90), none, 0x1);
    before = _mm256_max_pd(before, _mm256_blend_pd(_mm256_permute4x64_pd(before, 0x90), none, 0x1));
    before = _mm256_max_pd(before, _mm256_blend_pd(_mm256_permute4x64_pd(before, 0x40), none, 0x3));
    const __m256d previous = _mm256_max_pd(running, before);
    const __m256d isRecord = _mm256_cmp_pd(block, previous, _CMP_GT_OQ);
    const auto records = static_cast<unsigned>(_mm256_movemask_pd(isRecord));
    running = _mm256_max_pd(running, _mm256_permute4x64_pd(_mm256_max_pd(before, block), 0xFF));
    if (records == 0) continue;
    const __m256i storeMask = _mm256_castpd_si256(isRecord);
    const Handle lastHandle = handles[j + LastLane(records)];
    const __m256i held = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(handles + j));
    const __m256i shifted = _mm256_blend_epi32(_mm256_permute4x64_epi64(held, 0x90),
                                               _mm256_set1_epi64x(record.handle), 0x03);
    const __m256i chain =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ChainTableAvx2[records].data()));
    _mm256_maskstore_epi64(handles + j, storeMask, _mm256_permutevar8x32_epi32(shifted, chain));
    _mm256_maskstore_pd(keys + j, storeMask, previous);
    record.handle = lastHandle;
  }
  record.key = _mm256_cvtsd_f64(running);
  return ScanScalar(keys, handles, j, end, record);
}

__attribute__((target("avx2"))) inline void SortKeysAvx2(double* keys, Handle* handles,
                                                         std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const Record record = ScanAvx2(keys, handles, i + 1, n, {keys[i], handles[i]});
    keys[i] = record.key;
    handles[i] = record.handle;
  }
}

// Continues a pass from slot j with blocks of eight lanes, the rest one slot at a time.
__attribute__((target("avx512f"))) inline Record ScanAvx512(double* keys, Handle* handles,
                                                            std::size_t j, std::size_t end,
                                                            Record record) {
  const __m512d none = _mm512_set1_pd(-std::numeric_limits<double>::infinity());
  const __m512i by1 = _mm512_set_epi64(6, 5, 4, 3, 2, 1, 0, 0);
  const __m512i by2 = _mm512_set_epi64(5, 4, 3, 2, 1, 0, 0, 0);
  const __m512i by4 = _mm512_set_epi64(3, 2, 1, 0, 0, 0, 0, 0);
  const __m512i lastLane = _mm512_set1_epi64(7);
  __m512d running = _mm512_set1_pd(record.key);
  for (; j + 8 <= end; j += 8) {
    const __m512d block = _mm512_loadu_pd(keys + j);
    // before: the largest key of the lanes before each lane in this block.
    __m512d before = _mm512_mask_permutexvar_pd(none, 0xFE, by1, block);
    before = _mm512_max_pd(before, _mm512_mask_permutexvar_pd(none, 0xFE, by1, before));
    before = _mm512_max_pd(before, _mm512_mask_permutexvar_pd(none, 0xFC, by2, before));
    before = _mm512_max_pd(before, _mm512_mask_permutexvar_pd(none, 0xF0, by4, before));
    const __m512d previous = _mm512_max_pd(running, before);
    const __mmask8 records = _mm512_cmp_pd_mask(block, previous, _CMP_GT_OQ);
    running = _mm512_max_pd(running, _mm512_permutexvar_pd(lastLane, _mm512_max_pd(before, block)));
    if (records == 0) continue;
    const Handle lastHandle = handles[j + LastLane(records)];
    const __m512i held = _mm512_loadu_si512(handles + j);
    // [M's handle, the records' handles in order], spread back over the record lanes.
    const __m512i chained = _mm512_alignr_epi64(_mm512_maskz_compress_epi64(records, held),
                                                _mm512_set1_epi64(record.handle), 7);
    _mm512_mask_storeu_epi64(handles + j, records, _mm512_maskz_expand_epi64(records, chained));
    _mm512_mask_storeu_pd(keys + j, records, previous);
    record.handle = lastHandle;
  }
  record.key = _mm512_cvtsd_f64(running);
  return ScanScalar(keys, handles, j, end, record);
}

__attribute__((target("avx512f"))) inline void SortKeysAvx512(double* keys, Handle* handles,
                                                              std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const Record record = ScanAvx512(keys, handles, i + 1, n, {keys[i], handles[i]});
    keys[i] = record.key;
    handles[i] = record.handle;
  }
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

// The ways the sort can run; each gives the same order.
enum class SortKernel { Scalar, Avx2, Avx512 };

// Whether this processor (and its operating system) can run the kernel.
inline bool SortKernelSupported(SortKernel kernel) {
#if defined(__x86_64__) && defined(__GNUC__)
  switch (kernel) {
    case SortKernel::Scalar:
      return true;
    case SortKernel::Avx2:
      return __builtin_cpu_supports("avx2");
    case SortKernel::Avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
#else
  return kernel == SortKernel::Scalar;
#endif
}

// The widest kernel this processor runs, chosen once.
inline SortKernel FastestSortKernel() {
  static const SortKernel fastest = SortKernelSupported(SortKernel::Avx512) ? SortKernel::Avx512
                                    : SortKernelSupported(SortKernel::Avx2) ? SortKernel::Avx2
                                                                            : SortKernel::Scalar;
  return fastest;
}

// Sorts n NaN-free keys and their handles into the exchange sort's order, with a supported
// kernel.
inline void SortKeys(SortKernel kernel, double* keys, Handle* handles, std::size_t n) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kernel == SortKernel::Avx512) return SortKeysAvx512(keys, handles, n);
  if (kernel == SortKernel::Avx2) return SortKeysAvx2(keys, handles, n);
#endif
  SortKeysScalar(keys, handles, n);
}

// The exchange sort on the slots themselves: for when no buffer can be had.
template <class TIndividual>
void ExchangeSortInPlace(TIndividual** individuals, int count) {
  for (int i = 0; i < count; ++i) {
    for (int j = i + 1; j < count; ++j) {
      if (individuals[j]->fitness > individuals[i]->fitness) {
        std::swap(individuals[i], individuals[j]);
      }
    }
  }
}

// The sort's buffers, kept per thread so that a run allocates them once.
struct SortBuffers {
  std::vector<double> keys;
  std::vector<Handle> handles;
};

inline SortBuffers& ThreadSortBuffers() {
  thread_local SortBuffers buffers;
  return buffers;
}

// Reorders the slots by non-increasing fitness, exactly as the exchange sort does, with the
// given (supported) kernel.
template <class TIndividual>
void SortByFitness(TIndividual** individuals, int count, SortKernel kernel) {
  if (count < 2) return;
  SortBuffers& buffers = ThreadSortBuffers();
  try {
    buffers.keys.resize(static_cast<std::size_t>(count));
    buffers.handles.resize(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    ExchangeSortInPlace(individuals, count);
    return;
  }
  // A NaN key never moves and never takes part in a move: the others sort among their slots.
  std::size_t n = 0;
  for (int slot = 0; slot < count; ++slot) {
    const double key = individuals[slot]->fitness;
    if (std::isnan(key)) continue;
    buffers.keys[n] = key;
    buffers.handles[n] = static_cast<Handle>(reinterpret_cast<std::uintptr_t>(individuals[slot]));
    ++n;
  }
  SortKeys(kernel, buffers.keys.data(), buffers.handles.data(), n);
  std::size_t next = 0;
  for (int slot = 0; slot < count; ++slot) {
    if (n < static_cast<std::size_t>(count) && std::isnan(individuals[slot]->fitness)) continue;
    individuals[slot] =
        reinterpret_cast<TIndividual*>(static_cast<std::uintptr_t>(buffers.handles[next++]));
  }
}

}  // namespace allelix::detail
