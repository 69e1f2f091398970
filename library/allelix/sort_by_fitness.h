// SortByFitness: the order that the exchange sort by fitness leaves, in O(n log n).
// Included by chromosome.h.
//
// The exchange sort runs a pass from each slot i in turn: every later slot j whose key is
// strictly greater than the key now in slot i exchanges with it. Why its order can be had
// without its n^2 / 2 comparisons:
//  1. A NaN never compares greater, and a pass headed by a NaN exchanges nothing: NaN slots keep
//     their individuals, and the other keys sort among the other slots as if alone.
//  2. A pass moves each record (a key above every earlier key of the pass) into the next
//     record's slot and the last record into slot i. So for any value K, the slots from i on
//     that hold a key >= K lose exactly their lowest one in each pass, and none joins them.
//  3. Hence the keys end in descending order, and the members of a group of equal keys end in
//     an order that the greater keys alone decide: reading the slots in increasing order, the
//     members form a queue; a member joins at the back when its slot is read, and each slot of
//     a greater key turns the queue once (its front moves to its back). The last queue is the
//     group's order.
//  4. The turns after member j are the greater keys between its slot and the next member's, a
//     difference of per-key counts of earlier greater keys, which a merge sort counts as it
//     merges. Only their number modulo the queue's length matters, and the turns of a group of
//     c cost O(c log c).
// The tests hold this against the straightforward exchange sort.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace allelix::detail {

// The sort's scratch, kept by its population so that a run allocates it once.
struct SortBuffers {
  std::vector<void*> individuals;  // the non-NaN individuals by compacted position
  std::vector<void*> sorted;       // the same individuals in the exchange sort's order
  // In merge order: each key as ordered bits, and an entry holding its compacted position (high
  // 32 bits) and the number of keys from earlier positions merged before it (low 32 bits).
  std::vector<std::uint64_t> keys, spareKeys;
  std::vector<std::uint64_t> entries, spareEntries;
  // For one group at a time: each member's turns (or insertion point), a Fenwick tree of free
  // physical slots, and the individual in each physical slot.
  std::vector<std::uint32_t> turns, tree;
  std::vector<void*> physical;

  // Sizes every buffer for n keys.
  void Reserve(std::size_t n) {
    individuals.resize(n);
    sorted.resize(n);
    // One more for the merge's reads past the end.
    keys.resize(n + 1);
    spareKeys.resize(n + 1);
    entries.resize(n + 1);
    spareEntries.resize(n + 1);
    turns.resize(n);
    tree.resize(std::bit_ceil(n) + 1);
    physical.resize(n);
  }
};

// A key as an unsigned number in the same order, -0.0 and 0.0 alike. Not for NaN.
inline std::uint64_t OrderedBits(double key) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(key == 0.0 ? 0.0 : key);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

inline std::uint32_t PositionOf(std::uint64_t entry) {
  return static_cast<std::uint32_t>(entry >> 32);
}

inline std::uint32_t MergedBefore(std::uint64_t entry) { return static_cast<std::uint32_t>(entry); }

// Runs of this many keys are sorted by insertion before the merges begin.
inline constexpr std::size_t InsertionRun = 16;

// Sorts keys[low..high) (with their entries) by insertion: descending, equal keys by position.
// A key inserted at index q of the sorted prefix has exactly q keys from earlier positions
// that are greater or equal, which its entry counts.
inline void InsertionSortCounting(std::uint64_t* keys, std::uint64_t* entries, std::size_t low,
                                  std::size_t high) {
  for (std::size_t i = low + 1; i < high; ++i) {
    const std::uint64_t key = keys[i];
    const std::uint64_t entry = entries[i];
    std::size_t q = i;
    for (; q > low && keys[q - 1] < key; --q) {
      keys[q] = keys[q - 1];
      entries[q] = entries[q - 1];
    }
    keys[q] = key;
    entries[q] = entry + (q - low);
  }
}

// Merges the sorted runs [low, middle) and [middle, high) of keys and entries into out*, where
// the left run is at least as long as the right one. When a right-hand key is taken, the
// left-hand keys before it in the merged order (greater or equal, from earlier positions) are
// added to its entry's count. The merge runs from both ends at once, the front taking the first
// key of the two runs and the back the last, which gives the processor two independent chains
// of work; it is branch-free, with masks rather than conditions a compiler may turn into
// branches, since which side is taken is as unpredictable as the keys. It may read the key
// and entry just past `high`, which the buffers provide.
inline void MergeCounting(const std::uint64_t* keys, const std::uint64_t* entries,
                          std::uint64_t* outKeys, std::uint64_t* outEntries, std::size_t low,
                          std::size_t middle, std::size_t high) {
  const auto select = [](std::uint64_t mask, std::uint64_t ifSet, std::uint64_t ifClear) {
    return ifClear ^ ((ifClear ^ ifSet) & mask);
  };
  // The front takes half the keys, so it never runs out of left-hand keys; the back takes the
  // rest, never more than the left run holds. Either may run out of right-hand keys.
  std::size_t left = low;
  std::size_t right = middle;
  std::size_t front = low;
  std::size_t leftBack = middle - 1;
  std::size_t rightBack = high - 1;
  std::size_t back = high - 1;
  const std::size_t half = (high - low) / 2;
  for (std::size_t step = 0; step < half; ++step) {
    const std::uint64_t leftKey = keys[left];
    const std::uint64_t rightKey = keys[right];
    const auto takeRight = static_cast<std::uint64_t>((right < high) & (rightKey > leftKey));
    const std::uint64_t mask = 0 - takeRight;
    outKeys[front] = select(mask, rightKey, leftKey);
    outEntries[front] = select(mask, entries[right] + (left - low), entries[left]);
    right += takeRight;
    left += 1 - takeRight;
    ++front;

    const std::uint64_t lastLeftKey = keys[leftBack];
    const std::uint64_t lastRightKey = keys[rightBack];
    // On a tie the right-hand key comes last.
    const auto lastRight =
        static_cast<std::uint64_t>((rightBack >= middle) & (lastRightKey <= lastLeftKey));
    const std::uint64_t lastMask = 0 - lastRight;
    outKeys[back] = select(lastMask, lastRightKey, lastLeftKey);
    outEntries[back] =
        select(lastMask, entries[rightBack] + (leftBack + 1 - low), entries[leftBack]);
    rightBack -= lastRight;
    leftBack -= 1 - lastRight;
    --back;
  }
  if (front == back) {  // an odd count: the one key left
    const bool lastRight = rightBack >= middle && keys[rightBack] <= keys[leftBack];
    outKeys[back] = lastRight ? keys[rightBack] : keys[leftBack];
    outEntries[back] = lastRight ? entries[rightBack] + (leftBack + 1 - low) : entries[leftBack];
  }
}

// Merges, over keys[from..to), each pair of neighbouring sorted runs of `width` keys into
// out* (a run past `to` is shorter or missing; a lone run is copied).
inline void MergePass(const std::uint64_t* keys, const std::uint64_t* entries,
                      std::uint64_t* outKeys, std::uint64_t* outEntries, std::size_t width,
                      std::size_t from, std::size_t to) {
  for (std::size_t low = from; low < to; low += 2 * width) {
    const std::size_t middle = std::min(low + width, to);
    const std::size_t high = std::min(middle + width, to);
    if (middle == high) {
      std::copy(keys + low, keys + high, outKeys + low);
      std::copy(entries + low, entries + high, outEntries + low);
    } else {
      MergeCounting(keys, entries, outKeys, outEntries, low, middle, high);
    }
  }
}

// Keys in a block that the first merges sort on their own, so that those merges stay within the
// processor's cache: the block's keys and entries, in both copies, take 1 MiB.
inline constexpr std::size_t CacheBlock = 16384;

// Sorts the n keys (with their entries) into descending order, equal keys by position:
// insertion sort of short runs, then bottom-up merges, block by block while the runs are shorter
// than a block. Each entry ends up counting the keys from earlier positions that are greater or
// equal.
inline void MergeSortCounting(SortBuffers& buffers, std::size_t n) {
  std::uint64_t* keys = buffers.keys.data();
  std::uint64_t* entries = buffers.entries.data();
  std::uint64_t* outKeys = buffers.spareKeys.data();
  std::uint64_t* outEntries = buffers.spareEntries.data();
  // Every block makes the same number of passes, so all end in the same copy.
  std::size_t blockPasses = 0;
  for (std::size_t width = InsertionRun; width < std::min(n, CacheBlock); width *= 2) {
    ++blockPasses;
  }
  for (std::size_t from = 0; from < n; from += CacheBlock) {
    const std::size_t to = std::min(from + CacheBlock, n);
    for (std::size_t low = from; low < to; low += InsertionRun) {
      InsertionSortCounting(keys, entries, low, std::min(low + InsertionRun, to));
    }
    std::uint64_t* inKeys = keys;
    std::uint64_t* inEntries = entries;
    std::uint64_t* toKeys = outKeys;
    std::uint64_t* toEntries = outEntries;
    for (std::size_t pass = 0, width = InsertionRun; pass < blockPasses; ++pass, width *= 2) {
      MergePass(inKeys, inEntries, toKeys, toEntries, width, from, to);
      std::swap(inKeys, toKeys);
      std::swap(inEntries, toEntries);
    }
  }
  if (blockPasses % 2 != 0) {
    std::swap(keys, outKeys);
    std::swap(entries, outEntries);
  }
  for (std::size_t width = CacheBlock; width < n; width *= 2) {
    MergePass(keys, entries, outKeys, outEntries, width, 0, n);
    std::swap(keys, outKeys);
    std::swap(entries, outEntries);
  }
  if (keys != buffers.keys.data()) {
    buffers.keys.swap(buffers.spareKeys);
    buffers.entries.swap(buffers.spareEntries);
  }
}

// A Fenwick tree over `size` slots (a power of two), of which the first `free` are free: node i
// counts the free slots in (i - lowbit(i), i].
inline void FreeSlots(std::uint32_t* tree, std::uint32_t size, std::uint32_t free) {
  for (std::uint32_t i = 1; i <= size; ++i) {
    const std::uint32_t low = i - (i & (0u - i));
    tree[i] = free > low ? std::min(i, free) - low : 0;
  }
}

// Takes the k-th (1-based) free slot of the tree over `size` slots (a power of two) and returns
// its index (0-based). One descent finds it and counts it out of every node whose range holds
// it: exactly the nodes at which the descent does not move right. Branch-free, since which way
// it goes is as unpredictable as the insertion points.
inline std::uint32_t TakeFreeSlot(std::uint32_t* tree, std::uint32_t size, std::uint32_t k) {
  std::uint32_t index = 0;
  for (std::uint32_t step = size; step != 0; step >>= 1) {
    std::uint32_t& node = tree[index + step];
    const std::uint32_t count = node;
    const bool right = count < k;
    index += right ? step : 0;
    k -= right ? count : 0;
    node = count - (right ? 0 : 1);
  }
  return index;
}

// Puts the group of c equal keys at merge order first..first + c - 1 into the exchange sort's
// order, in sorted[first..]: starting from an empty queue, member j (0-based, in position order)
// joins at the back, then the queue turns r_j mod (j + 1) times (its front moves to its back).
// Where the turns add up to little, the queue is run as it is; otherwise the queue is kept
// circular (a turn moves the head, joining inserts at the head's physical index) and where each
// insertion ends up is resolved afterwards, latest first, each taking the free physical slot its
// insertion point names. Either way the cost is O(c log c).
inline void OrderGroup(SortBuffers& buffers, std::size_t first, std::uint32_t c) {
  const std::uint64_t* entries = buffers.entries.data() + first;
  void* const* individuals = buffers.individuals.data();
  void** sorted = buffers.sorted.data() + first;
  const auto member = [&](std::uint32_t j) { return individuals[PositionOf(entries[j])]; };
  // Greater keys from earlier positions than member j: the keys merged before it, less the j
  // members that precede it.
  const auto greaterBefore = [entries](std::uint32_t j) { return MergedBefore(entries[j]) - j; };
  std::uint32_t* turns = buffers.turns.data();
  std::uint64_t totalTurns = 0;
  for (std::uint32_t j = 0; j < c; ++j) {
    const std::uint32_t length = j + 1;
    const std::uint32_t greaterAfter = j + 1 < c
                                           ? greaterBefore(j + 1) - greaterBefore(j)
                                           : static_cast<std::uint32_t>(first) - greaterBefore(j);
    turns[j] = greaterAfter < length ? greaterAfter : greaterAfter % length;
    totalTurns += turns[j];
  }
  void** queue = buffers.physical.data();
  if (totalTurns <= std::uint64_t{c} * static_cast<std::uint64_t>(std::bit_width(c))) {
    // A ring of c places; the queue's front is at `head`, its back just before head + length.
    std::uint32_t head = 0;
    for (std::uint32_t j = 0; j < c; ++j) {
      std::uint32_t back = head + j;  // the queue holds j members
      if (back >= c) back -= c;
      queue[back] = member(j);
      for (std::uint32_t t = turns[j]; t > 0; --t) {
        if (++back == c) back = 0;
        queue[back] = queue[head];
        if (++head == c) head = 0;
      }
    }
    std::copy(queue + head, queue + c, sorted);
    std::copy(queue, queue + head, sorted + (c - head));
    return;
  }
  // Each insertion point, in place of the turns it is computed from.
  std::uint32_t head = 0;
  for (std::uint32_t j = 0; j < c; ++j) {
    const std::uint32_t length = j + 1;
    head += 1 + std::exchange(turns[j], head);  // below 2 * length: both terms are below length
    if (head >= length) head -= length;
  }
  std::uint32_t* tree = buffers.tree.data();
  const std::uint32_t size = std::bit_ceil(c);
  FreeSlots(tree, size, c);
  for (std::uint32_t j = c; j-- > 0;) queue[TakeFreeSlot(tree, size, turns[j] + 1)] = member(j);
  // The queue from its head: physical slots head..c - 1, then 0..head - 1.
  std::copy(queue + head, queue + c, sorted);
  std::copy(queue, queue + head, sorted + (c - head));
}

// Reorders the slots by non-increasing fitness into exactly the exchange sort's order (see the
// top of this file). Growing the buffers may throw std::bad_alloc, which leaves every slot as
// it was; nothing after that can throw.
template <class TIndividual>
void SortByFitness(TIndividual** slots, int count, SortBuffers& buffers) {
  if (count < 2) return;
  const auto size = static_cast<std::size_t>(count);
  buffers.Reserve(size);
  std::size_t n = 0;
  for (std::size_t slot = 0; slot < size; ++slot) {
    const double key = slots[slot]->fitness;
    if (std::isnan(key)) continue;
    buffers.individuals[n] = slots[slot];
    buffers.keys[n] = OrderedBits(key);
    buffers.entries[n] = static_cast<std::uint64_t>(n) << 32;
    ++n;
  }
  MergeSortCounting(buffers, n);
  for (std::size_t first = 0; first < n;) {
    std::size_t last = first + 1;
    while (last < n && buffers.keys[last] == buffers.keys[first]) ++last;
    OrderGroup(buffers, first, static_cast<std::uint32_t>(last - first));
    first = last;
  }
  std::size_t next = 0;
  for (std::size_t slot = 0; slot < size; ++slot) {
    if (n < size && std::isnan(slots[slot]->fitness)) continue;
    slots[slot] = static_cast<TIndividual*>(buffers.sorted[next++]);
  }
}

}  // namespace allelix::detail
