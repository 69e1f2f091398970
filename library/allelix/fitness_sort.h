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

// Runs every pass with the given scan: slot i ends with the pass's running maximum.
template <Record (*Scan)(double*, Handle*, std::size_t, std::size_t, Record)>
void SortKeysWith(double* keys, Handle* handles, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const Record record = Scan(keys, handles, i + 1, n, {keys[i], handles[i]});
    keys[i] = record.key;
    handles[i] = record.handle;
  }
}

// The lane of the last record in a block's record mask.
inline unsigned LastLane(unsigned records) {
  return static_cast<unsigned>(std::bit_width(records)) - 1;
}

// The limits of the ranks kernels, which the portable code that prepares their input reads too.
inline constexpr std::size_t MaxRankCount = 1023;
inline constexpr std::size_t MaxRankSlots = 32767;  // positions and indices fit 16 bits
inline constexpr std::size_t RankPadding = 64;      // room for the last block's full stores

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
    for (std::size_t lane = 0; lane < 4; ++lane) {
      table[mask][2 * lane] = 2 * source;
      table[mask][2 * lane + 1] = 2 * source + 1;
      if ((mask >> lane) & 1u) source = static_cast<int>(lane) + 1;
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

// The ranks kernel: with at most 1023 distinct keys, each key is replaced by its rank (1 for
// the smallest) times 64, and a pass compares 32 of them at a time. Within a block, a lane's
// code is rank * 64 + 62 - lane, so that among equal ranks the earlier lane is larger: a lane is
// then a record exactly when its code equals the prefix maximum of the codes (and of the
// running maximum, whose low bits are 63, above every lane's). A pass first lists its records,
// then moves the ranks and indices one record down the chain.

// Lists the records of the pass from slot i, in order, 32 lanes at a time; returns how many
// there are.
__attribute__((target("avx512f,avx512bw,avx512vbmi2"))) inline std::size_t ListRecordsAvx512(
    const std::uint16_t* ranks, std::uint16_t* records, std::size_t i, std::size_t n) {
  alignas(64) static constexpr std::array<std::uint16_t, 32> LaneTies = [] {
    std::array<std::uint16_t, 32> ties{};
    for (std::uint16_t lane = 0; lane < 32; ++lane)
      ties[lane] = static_cast<std::uint16_t>(62 - lane);
    return ties;
  }();
  const __m512i ties = _mm512_load_si512(LaneTies.data());
  const __m512i lowBits = _mm512_set1_epi16(63);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i lastLane = _mm512_set1_epi16(31);
  const __m512i byOne = _mm512_sub_epi16(_mm512_set1_epi16(61), ties);  // lane l reads l - 1
  __m512i running = _mm512_set1_epi16(static_cast<short>(ranks[i] | 63));
  std::size_t count = 0;
  std::size_t block = (i + 1) & ~std::size_t{31};
  __m512i positions = _mm512_sub_epi16(_mm512_set1_epi16(static_cast<short>(block + 62)), ties);
  __mmask32 inPass = ~0u << ((i + 1) & 31);  // lanes before slot i + 1 are not in the pass
  for (; block < n; block += 32, inPass = ~0u) {
    // Lanes before the pass read rank 0: their codes stay below the running maximum.
    const __m512i own = _mm512_or_si512(_mm512_maskz_loadu_epi16(inPass, ranks + block), ties);
    // The prefix maximum, by shifts of 1, 2, 4, 8 and 16 lanes (the last four as shifts of
    // whole 32- and 64-bit words, which are cheaper than shuffles of 16-bit lanes).
    __m512i prefix = _mm512_max_epu16(own, _mm512_maskz_permutexvar_epi16(~1u, byOne, own));
    prefix = _mm512_max_epu16(prefix, _mm512_alignr_epi32(prefix, zero, 15));
    prefix = _mm512_max_epu16(prefix, _mm512_alignr_epi64(prefix, zero, 7));
    prefix = _mm512_max_epu16(prefix, _mm512_alignr_epi64(prefix, zero, 6));
    prefix = _mm512_max_epu16(prefix, _mm512_alignr_epi64(prefix, zero, 4));
    // The block's largest code, with the running maximum's low bits, computed aside so that
    // the running maximum waits on one max per block only.
    const __m512i top = _mm512_or_si512(_mm512_permutexvar_epi16(lastLane, prefix), lowBits);
    const __mmask32 found = _mm512_cmpeq_epi16_mask(_mm512_max_epu16(prefix, running), own);
    running = _mm512_max_epu16(running, top);
    _mm512_storeu_si512(records + count, _mm512_maskz_compress_epi16(found, positions));
    count += static_cast<std::size_t>(std::popcount(found));
    positions = _mm512_add_epi16(positions, _mm512_set1_epi16(32));
  }
  return count;
}

// For each 8-bit record mask, the byte shuffle that gathers the marked 16-bit lanes of eight
// to the front.
constexpr std::array<std::array<std::uint8_t, 16>, 256> GatherTableAvx2() {
  std::array<std::array<std::uint8_t, 16>, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned next = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if (((mask >> lane) & 1u) == 0) continue;
      table[mask][2 * next] = static_cast<std::uint8_t>(2 * lane);
      table[mask][2 * next + 1] = static_cast<std::uint8_t>(2 * lane + 1);
      ++next;
    }
    for (unsigned byte = 2 * next; byte < 16; ++byte) table[mask][byte] = 0x80;  // zero
  }
  return table;
}

inline constexpr std::array<std::array<std::uint8_t, 16>, 256> GatherAvx2 = GatherTableAvx2();

// Stores the positions of the marked lanes of eight at records + count; returns the new count.
__attribute__((target("avx2"))) inline std::size_t AppendMarkedAvx2(std::uint16_t* records,
                                                                    std::size_t count,
                                                                    __m128i positions,
                                                                    unsigned mask) {
  const __m128i gather = _mm_loadu_si128(reinterpret_cast<const __m128i*>(GatherAvx2[mask].data()));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(records + count),
                   _mm_shuffle_epi8(positions, gather));
  return count + static_cast<std::size_t>(std::popcount(mask));
}

// The lanes of v moved up by `lanes` 16-bit lanes (1 to 7), zeros shifted in.
template <int lanes>
__attribute__((target("avx2"))) inline __m256i ShiftUpAvx2(__m256i v) {
  return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(v, v, 0x08), 16 - 2 * lanes);
}

// Lists the records of the pass from slot i, in order, 16 lanes at a time, with the codes of
// the AVX-512 version; returns how many there are.
__attribute__((target("avx2"))) inline std::size_t ListRecordsAvx2(const std::uint16_t* ranks,
                                                                   std::uint16_t* records,
                                                                   std::size_t i, std::size_t n) {
  const __m256i lanes = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256i ties = _mm256_sub_epi16(_mm256_set1_epi16(62), lanes);
  const __m256i lowBits = _mm256_set1_epi16(63);
  __m256i running = _mm256_set1_epi16(static_cast<short>(ranks[i] | 63));
  std::size_t count = 0;
  std::size_t block = (i + 1) & ~std::size_t{15};
  __m256i positions = _mm256_add_epi16(_mm256_set1_epi16(static_cast<short>(block)), lanes);
  // Lanes before slot i + 1 are not in the pass.
  __m256i inPass = _mm256_cmpgt_epi16(
      lanes, _mm256_set1_epi16(static_cast<short>(static_cast<int>((i + 1) & 15) - 1)));
  for (; block < n; block += 16) {
    // Lanes before the pass read rank 0: their codes stay below the running maximum.
    const __m256i own = _mm256_or_si256(
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ranks + block)),
                         inPass),
        ties);
    inPass = _mm256_set1_epi16(-1);
    __m256i prefix = _mm256_max_epu16(own, ShiftUpAvx2<1>(own));
    prefix = _mm256_max_epu16(prefix, ShiftUpAvx2<2>(prefix));
    prefix = _mm256_max_epu16(prefix, ShiftUpAvx2<4>(prefix));
    prefix = _mm256_max_epu16(prefix, _mm256_permute2x128_si256(prefix, prefix, 0x08));
    // Lane 15 everywhere: the block's largest code.
    const __m256i top = _mm256_shufflelo_epi16(
        _mm256_shufflehi_epi16(_mm256_permute4x64_epi64(prefix, 0xFF), 0xFF), 0xFF);
    const __m256i found = _mm256_cmpeq_epi16(_mm256_max_epu16(prefix, running), own);
    running = _mm256_max_epu16(running, _mm256_or_si256(top, lowBits));
    // One byte per lane: lanes 0 to 7 in bits 0 to 7, lanes 8 to 15 in bits 16 to 23.
    const auto bytes = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_packs_epi16(found, _mm256_setzero_si256())));
    count = AppendMarkedAvx2(records, count, _mm256_castsi256_si128(positions), bytes & 0xFFu);
    count = AppendMarkedAvx2(records, count, _mm256_extracti128_si256(positions, 1),
                             (bytes >> 16) & 0xFFu);
    positions = _mm256_add_epi16(positions, _mm256_set1_epi16(16));
  }
  return count;
}

// Sorts n ranks (padded with RankPadding zeros) and their indices into the exchange sort's
// order, listing each pass's records with the given function.
template <std::size_t (*List)(const std::uint16_t*, std::uint16_t*, std::size_t, std::size_t)>
void SortRanksWith(std::uint16_t* ranks, std::uint16_t* indices, std::uint16_t* records,
                   std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t count = List(ranks, records, i, n);
    std::uint16_t rank = ranks[i];
    std::uint16_t index = indices[i];
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint16_t slot = records[k];
      std::swap(ranks[slot], rank);
      std::swap(indices[slot], index);
    }
    ranks[i] = rank;
    indices[i] = index;
  }
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

// The ways the sort can run; each gives the same order.
enum class SortKernel { Scalar, Avx2, Avx512, Avx2Ranks, Avx512Ranks };

inline bool IsRanksKernel(SortKernel kernel) {
  return kernel == SortKernel::Avx2Ranks || kernel == SortKernel::Avx512Ranks;
}

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
    case SortKernel::Avx2Ranks:
      return __builtin_cpu_supports("avx2");
    case SortKernel::Avx512Ranks:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi2");
  }
  return false;
#else
  return kernel == SortKernel::Scalar;
#endif
}

// The widest kernel this processor runs, chosen once.
inline SortKernel FastestSortKernel() {
  static const SortKernel fastest =
      SortKernelSupported(SortKernel::Avx512Ranks) ? SortKernel::Avx512Ranks
      : SortKernelSupported(SortKernel::Avx2Ranks) ? SortKernel::Avx2Ranks
                                                   : SortKernel::Scalar;
  return fastest;
}

// Sorts n NaN-free keys and their handles into the exchange sort's order, with a kernel of the
// double keys.
inline void SortKeys([[maybe_unused]] SortKernel kernel, double* keys, Handle* handles,
                     std::size_t n) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kernel == SortKernel::Avx512 || kernel == SortKernel::Avx512Ranks) {
    return SortKeysWith<ScanAvx512>(keys, handles, n);
  }
  if (kernel == SortKernel::Avx2 || kernel == SortKernel::Avx2Ranks) {
    return SortKeysWith<ScanAvx2>(keys, handles, n);
  }
#endif
  SortKeysWith<ScanScalar>(keys, handles, n);
}

// The sort's buffers, kept by their population so that a run allocates them once.
struct SortBuffers {
  std::vector<double> keys;
  std::vector<Handle> handles;
  // For the ranks kernel.
  std::vector<std::uint64_t> ordered;
  std::vector<std::uint64_t> spareOrdered;
  std::vector<std::uint16_t> order;
  std::vector<std::uint16_t> spareOrder;
  std::vector<std::uint16_t> ranks;
  std::vector<std::uint16_t> indices;
  std::vector<std::uint16_t> records;
  std::vector<Handle> sorted;

  void Reserve(std::size_t n, bool forRanks) {
    keys.resize(n);
    handles.resize(n);
    if (!forRanks) return;
    ordered.resize(n);
    spareOrdered.resize(n);
    order.resize(n);
    spareOrder.resize(n);
    ranks.resize(n + RankPadding);
    indices.resize(n + RankPadding);
    records.resize(n + RankPadding);
    sorted.resize(n);
  }
};

// A key as an unsigned number in the same order; -0.0 and 0.0 give the same number.
inline std::uint64_t OrderedBits(double key) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(key == 0.0 ? 0.0 : key);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Gives each of the n keys its rank among the distinct keys (1 for the smallest) times 64,
// zero-pads the ranks and numbers the indices; false when there are more than MaxRankCount
// distinct keys.
// The keys are put in order by a radix sort over the bytes in which they differ.
inline bool RankKeys(SortBuffers& buffers, std::size_t n) {
  std::array<std::array<std::uint32_t, 256>, 8> starts{};
  std::uint64_t anyBits = 0;
  std::uint64_t allBits = ~std::uint64_t{0};
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t ordered = OrderedBits(buffers.keys[k]);
    buffers.ordered[k] = ordered;
    buffers.order[k] = static_cast<std::uint16_t>(k);
    anyBits |= ordered;
    allBits &= ordered;
    for (std::size_t digit = 0; digit < 8; ++digit)
      ++starts[digit][(ordered >> (8 * digit)) & 0xFFu];
  }
  const std::uint64_t varying = anyBits ^ allBits;
  for (std::size_t digit = 0; digit < 8; ++digit) {
    const unsigned shift = 8 * static_cast<unsigned>(digit);
    if (((varying >> shift) & 0xFFu) == 0) continue;
    // Each bucket fills from its start with the first half of the keys and from its end with
    // the second half, taken backwards: the same stable order, in two independent chains.
    std::array<std::uint32_t, 256>& fronts = starts[digit];
    std::array<std::uint32_t, 256> backs;
    std::uint32_t start = 0;
    for (std::size_t bucket = 0; bucket < 256; ++bucket) {
      start += std::exchange(fronts[bucket], start);
      backs[bucket] = start;
    }
    const auto place = [&](std::size_t from, std::uint32_t to) {
      buffers.spareOrdered[to] = buffers.ordered[from];
      buffers.spareOrder[to] = buffers.order[from];
    };
    for (std::size_t k = 0; k < n / 2; ++k) {
      const std::size_t last = n - 1 - k;
      place(k, fronts[(buffers.ordered[k] >> shift) & 0xFFu]++);
      place(last, --backs[(buffers.ordered[last] >> shift) & 0xFFu]);
    }
    if (n % 2 != 0) place(n / 2, fronts[(buffers.ordered[n / 2] >> shift) & 0xFFu]++);
    buffers.ordered.swap(buffers.spareOrdered);
    buffers.order.swap(buffers.spareOrder);
  }
  std::uint16_t rank = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (k == 0 || buffers.ordered[k] != buffers.ordered[k - 1]) {
      if (rank == MaxRankCount) return false;
      ++rank;
    }
    buffers.ranks[buffers.order[k]] = static_cast<std::uint16_t>(rank << 6);
    buffers.indices[k] = static_cast<std::uint16_t>(k);
  }
  std::fill(buffers.ranks.begin() + static_cast<std::ptrdiff_t>(n), buffers.ranks.end(), 0);
  return true;
}

// Sorts the n keys and handles in the buffers into the exchange sort's order; the handles end
// up in order in buffers.handles.
inline void SortBuffered(SortKernel kernel, SortBuffers& buffers, std::size_t n) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (IsRanksKernel(kernel) && n <= MaxRankSlots && RankKeys(buffers, n)) {
    if (kernel == SortKernel::Avx512Ranks) {
      SortRanksWith<ListRecordsAvx512>(buffers.ranks.data(), buffers.indices.data(),
                                       buffers.records.data(), n);
    } else {
      SortRanksWith<ListRecordsAvx2>(buffers.ranks.data(), buffers.indices.data(),
                                     buffers.records.data(), n);
    }
    for (std::size_t k = 0; k < n; ++k) buffers.sorted[k] = buffers.handles[buffers.indices[k]];
    buffers.handles.swap(buffers.sorted);
    return;
  }
#endif
  SortKeys(kernel, buffers.keys.data(), buffers.handles.data(), n);
}

// Reorders the slots by non-increasing fitness, exactly as the exchange sort does, with the
// given (supported) kernel and buffers. Growing the buffers may throw std::bad_alloc, which
// leaves every slot as it was.
template <class TIndividual>
void SortByFitness(TIndividual** individuals, int count, SortKernel kernel, SortBuffers& buffers) {
  if (count < 2) return;
  const auto size = static_cast<std::size_t>(count);
  buffers.Reserve(size, IsRanksKernel(kernel));
  // A NaN key never moves and never takes part in a move: the others sort among their slots.
  std::size_t n = 0;
  for (std::size_t slot = 0; slot < size; ++slot) {
    const double key = individuals[slot]->fitness;
    if (std::isnan(key)) continue;
    buffers.keys[n] = key;
    buffers.handles[n] = static_cast<Handle>(reinterpret_cast<std::uintptr_t>(individuals[slot]));
    ++n;
  }
  SortBuffered(kernel, buffers, n);
  std::size_t next = 0;
  for (std::size_t slot = 0; slot < size; ++slot) {
    if (n < size && std::isnan(individuals[slot]->fitness)) continue;
    individuals[slot] =
        reinterpret_cast<TIndividual*>(static_cast<std::uintptr_t>(buffers.handles[next++]));
  }
}

}  // namespace allelix::detail
