// Per-thread pools for the many small objects of a run: the class-level operator new and delete
// of genes and individuals come here. Included by chromosome.h.
//
// Each thread carves blocks of one size out of 64 KiB chunks of its own, so creating and
// deleting an object is a few instructions on the thread that made it. An object may be deleted
// on any thread: a block freed on another thread goes back to its chunk's list of remote frees,
// which the owner takes back when it runs short. A chunk whose blocks are all free again is
// given back to the global allocator (a few are kept for reuse), and so is every chunk at the
// end of its thread, or, if objects from it are still alive then, when the last of them goes.
//
// Built with ALLELIX_GLOBAL_ALLOCATION defined (the CMake option ALLELIX_POOLED_ALLOCATION=OFF),
// every object comes straight from the global operator new instead, so that leak checkers,
// AddressSanitizer, valgrind and a replaced operator new see each one.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "allelix/platform.h"

namespace allelix::detail {

#if defined(ALLELIX_GLOBAL_ALLOCATION)
inline constexpr bool PooledAllocation = false;
#else
inline constexpr bool PooledAllocation = true;
#endif

inline constexpr std::size_t PoolGranule = 16;   // block sizes are multiples of this
inline constexpr std::size_t PoolLargest = 256;  // larger objects use the global allocator
inline constexpr std::size_t PoolClasses = PoolLargest / PoolGranule;
inline constexpr std::size_t ChunkBytes = std::size_t{64} * 1024;  // also the chunk's alignment
inline constexpr std::size_t SpareChunks = 4;   // empty chunks a pool keeps for reuse
inline constexpr std::size_t WriteAhead = 512;  // bytes past a block handed out to prefetch
inline constexpr std::size_t RegionBytes = std::size_t{2} * 1024 * 1024;  // also its alignment
inline constexpr std::size_t RegionSlots = RegionBytes / ChunkBytes;  // the first holds the header

// A free block: its first bytes link it to the next.
struct FreeBlock {
  FreeBlock* next;
};

// The balance of a chunk still in use starts this high; retiring it takes the bias away, so the
// balance then counts the chunk's live blocks and the thread that brings it to zero frees it.
inline constexpr std::int64_t OwnedBias = std::int64_t{1} << 62;

// The chunks alive in the process, for tests and diagnostics.
inline std::atomic<std::int64_t>& ChunksAlive() {
  static std::atomic<std::int64_t> alive{0};
  return alive;
}

// Chunks are carved out of regions of 2 MiB, the size of a huge page, which the operating system
// is asked to back with huge pages where it offers them (Linux's transparent huge pages): a
// large population's objects then cost far fewer address-translation misses. Shared by every
// thread. A region is given back once none of its chunks is in use (the pools keep spare chunks
// of their own).
class Regions {
 public:
  // The memory of a chunk; throws std::bad_alloc.
  static void* TakeChunk() {
    const std::lock_guard lock(Mutex());
    if (Open() == nullptr) Make();
    Header* region = Open();
    const auto slot = static_cast<std::size_t>(std::countr_zero(region->free));
    region->free &= region->free - 1;
    if (region->free == 0) Unlink(region);
    return reinterpret_cast<char*>(region) + slot * ChunkBytes;
  }

  static void GiveChunk(void* chunk) noexcept {
    const std::lock_guard lock(Mutex());
    Header* region = Of(chunk);
    const std::size_t slot =
        (reinterpret_cast<std::uintptr_t>(chunk) & (RegionBytes - 1)) / ChunkBytes;
    if (region->free == 0) Push(region);
    region->free |= std::uint32_t{1} << slot;
    if (region->free != AllFree) return;
    Unlink(region);
    region->~Header();
    ::operator delete (static_cast<void*>(region), std::align_val_t{RegionBytes});
  }

 private:
  static_assert(RegionSlots == 32);
  static constexpr std::uint32_t AllFree = ~std::uint32_t{1};

  struct Header {
    std::uint32_t free = AllFree;  // a bit for each slot without a chunk
    Header* previous = nullptr;
    Header* next = nullptr;
  };

  static Header* Of(void* chunk) {
    return reinterpret_cast<Header*>(reinterpret_cast<std::uintptr_t>(chunk) & ~(RegionBytes - 1));
  }

  // A new region, open for chunks.
  static void Make() {
    void* memory = ::operator new (RegionBytes, std::align_val_t{RegionBytes});
    AdviseHugePages(memory, RegionBytes);
    Push(new (memory) Header());
  }

  static void Push(Header* region) {
    Header*& open = Open();
    region->previous = nullptr;
    region->next = open;
    if (open != nullptr) open->previous = region;
    open = region;
  }

  static void Unlink(Header* region) {
    if (region->previous != nullptr) region->previous->next = region->next;
    if (region->next != nullptr) region->next->previous = region->previous;
    if (Open() == region) Open() = region->next;
    region->previous = region->next = nullptr;
  }

  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  // Regions with a free slot.
  static Header*& Open() {
    static Header* open = nullptr;
    return open;
  }
};

// The header at the start of every chunk; the blocks follow it. The owner keeps a bitmap of
// the free blocks and hands out the lowest one: blocks are reused in address order, so objects
// made together lie together, and freeing a block never touches its memory.
struct alignas(64) Chunk {
  static constexpr std::size_t MaxBlocks = ChunkBytes / PoolGranule;
  static constexpr std::size_t BitmapWords = MaxBlocks / 64;

  // Written once, before any block is handed out.
  std::uint64_t owner = 0;  // the id of the owning thread's pools; 0 for none
  std::size_t blockSize = 0;
  std::size_t blocks = 0;    // how many fit after the header
  std::uint64_t divide = 0;  // ceil(2^32 / blockSize): an offset times this, >> 32, is its block
  char* first = nullptr;     // the first block
  // The owner's own.
  std::size_t out = 0;     // blocks handed out and not given back to the owner
  std::size_t cursor = 0;  // no free block lies in a bitmap word below this one
  Chunk* previous = nullptr;
  Chunk* next = nullptr;
  Chunk* previousAvailable = nullptr;
  Chunk* nextAvailable = nullptr;
  bool available = false;  // in the owner's list of chunks with free blocks
  std::uint64_t freeBits[BitmapWords] = {};
  // Shared with other threads, on a line of their own.
  alignas(64) std::atomic<FreeBlock*> remoteFree{nullptr};
  std::atomic<std::int64_t> balance{OwnedBias};

  static Chunk* Of(void* block) {
    return reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(block) & ~(ChunkBytes - 1));
  }

  // A new chunk of blocks of the given size for the given owner; throws std::bad_alloc.
  static Chunk* Make(std::uint64_t owner, std::size_t blockSize) {
    void* memory = Regions::TakeChunk();
    Chunk* chunk = new (memory) Chunk();
    chunk->owner = owner;
    chunk->blockSize = blockSize;
    chunk->blocks = (ChunkBytes - sizeof(Chunk)) / blockSize;
    chunk->divide = ((std::uint64_t{1} << 32) + blockSize - 1) / blockSize;
    chunk->first = static_cast<char*>(memory) + sizeof(Chunk);
    for (std::size_t k = 0; k < chunk->blocks / 64; ++k) chunk->freeBits[k] = ~std::uint64_t{0};
    if (chunk->blocks % 64 != 0) {
      chunk->freeBits[chunk->blocks / 64] = (std::uint64_t{1} << (chunk->blocks % 64)) - 1;
    }
    ChunksAlive().fetch_add(1, std::memory_order_relaxed);
    return chunk;
  }

  static void Free(Chunk* chunk) {
    chunk->~Chunk();
    Regions::GiveChunk(chunk);
    ChunksAlive().fetch_sub(1, std::memory_order_relaxed);
  }

  // The lowest free block, for the owner. Precondition: HasFreeBlock().
  void* Take() {
    while (freeBits[cursor] == 0) ++cursor;
    std::uint64_t& word = freeBits[cursor];
    const auto bit = static_cast<std::size_t>(std::countr_zero(word));
    word &= word - 1;
    ++out;
    const std::size_t offset = (cursor * 64 + bit) * blockSize;
    // Blocks go out in address order, so the memory a little further on in the chunk is written
    // soon; its loading starts now rather than at that write.
    if (offset + WriteAhead < blocks * blockSize) Prefetch(first + offset + WriteAhead, true);
    return first + offset;
  }

  // The owner gives a block back.
  void Give(void* block) {
    const auto offset = static_cast<std::uint64_t>(static_cast<char*>(block) - first);
    const auto index = static_cast<std::size_t>((offset * divide) >> 32);
    freeBits[index / 64] |= std::uint64_t{1} << (index % 64);
    if (index / 64 < cursor) cursor = index / 64;
    --out;
  }

  bool HasFreeBlock() const { return out < blocks; }

  // The owner takes back the blocks other threads freed; returns how many.
  std::size_t TakeBackRemoteFrees() {
    FreeBlock* list = remoteFree.exchange(nullptr, std::memory_order_acquire);
    std::size_t count = 0;
    while (list != nullptr) {
      FreeBlock* block = list;
      list = block->next;
      Give(block);
      ++count;
    }
    if (count != 0) balance.fetch_add(static_cast<std::int64_t>(count), std::memory_order_acq_rel);
    return count;
  }

  // The owner lets go of the chunk: it is freed now if no block of it is alive, else by the
  // thread that frees the last one.
  void Retire() {
    const auto liveBlocks = static_cast<std::int64_t>(out);
    if (balance.fetch_add(liveBlocks - OwnedBias, std::memory_order_acq_rel) ==
        OwnedBias - liveBlocks) {
      Free(this);
    }
  }

  // Another thread (or one without pools) gives a block back.
  void FreeRemotely(void* memory) {
    FreeBlock* head = remoteFree.load(std::memory_order_relaxed);
    auto* block = new (memory) FreeBlock{head};
    while (!remoteFree.compare_exchange_weak(head, block, std::memory_order_release,
                                             std::memory_order_relaxed)) {
      block->next = head;
    }
    if (balance.fetch_sub(1, std::memory_order_acq_rel) == 1) Free(this);
  }
};

static_assert(sizeof(Chunk) % PoolGranule == 0 && sizeof(Chunk) < ChunkBytes / 32);

// One thread's chunks of one block size.
class SizePool {
 public:
  void Start(std::uint64_t owner, std::size_t blockSize) {
    owner_ = owner;
    blockSize_ = blockSize;
  }

  void* Allocate() {
    if (current_ == nullptr || !current_->HasFreeBlock()) current_ = ChunkWithAFreeBlock();
    return current_->Take();
  }

  // Gives back a block of one of this pool's chunks.
  void Release(Chunk* chunk, void* block) {
    chunk->Give(block);
    if (chunk == current_) return;
    if (chunk->out == 0) {
      if (emptyChunks_ >= SpareChunks) {
        Unlink(chunk);
        chunk->Retire();
        return;
      }
      ++emptyChunks_;
    }
    if (!chunk->available) PushAvailable(chunk);
  }

  // At the end of the thread: every chunk is retired.
  void RetireAll() {
    while (chunks_ != nullptr) {
      Chunk* chunk = chunks_;
      Unlink(chunk);
      chunk->Retire();
    }
    emptyChunks_ = 0;
  }

 private:
  // The chunk to take blocks from once current_ has none: current_ again if other threads gave
  // some of its blocks back, else another chunk of the pool's, else a new one.
  Chunk* ChunkWithAFreeBlock() {
    if (current_ != nullptr && current_->TakeBackRemoteFrees() != 0) return current_;
    if (available_ == nullptr && madeSinceScan_ >= chunkCount_ / 8) {
      TakeBackAllRemoteFrees();
      madeSinceScan_ = 0;
    }
    if (available_ != nullptr) {
      Chunk* chunk = available_;
      RemoveAvailable(chunk);
      if (chunk->out == 0) --emptyChunks_;
      return chunk;
    }
    Chunk* chunk = Chunk::Make(owner_, blockSize_);
    Link(chunk);
    ++madeSinceScan_;
    return chunk;
  }

  // Blocks that other threads freed into any chunk: chunks that gain free blocks become
  // available, and those left without a live block beyond the spares are retired. O(chunks),
  // paid when no chunk has a free block and an eighth as many chunks as there are have been
  // made since the last time, so that it adds O(1) to each new chunk.
  void TakeBackAllRemoteFrees() {
    for (Chunk* chunk = chunks_; chunk != nullptr;) {
      Chunk* next = chunk->next;
      if (chunk != current_ && chunk->remoteFree.load(std::memory_order_relaxed) != nullptr) {
        chunk->TakeBackRemoteFrees();
        if (chunk->out == 0 && emptyChunks_ >= SpareChunks) {
          Unlink(chunk);
          chunk->Retire();
        } else {
          if (chunk->out == 0) ++emptyChunks_;
          if (!chunk->available) PushAvailable(chunk);
        }
      }
      chunk = next;
    }
  }

  void Link(Chunk* chunk) {
    ++chunkCount_;
    chunk->next = chunks_;
    if (chunks_ != nullptr) chunks_->previous = chunk;
    chunks_ = chunk;
  }

  void Unlink(Chunk* chunk) {
    --chunkCount_;
    if (chunk->available) RemoveAvailable(chunk);
    if (chunk->previous != nullptr) chunk->previous->next = chunk->next;
    if (chunk->next != nullptr) chunk->next->previous = chunk->previous;
    if (chunks_ == chunk) chunks_ = chunk->next;
    if (current_ == chunk) current_ = nullptr;
    chunk->previous = chunk->next = nullptr;
  }

  void PushAvailable(Chunk* chunk) {
    chunk->available = true;
    chunk->previousAvailable = nullptr;
    chunk->nextAvailable = available_;
    if (available_ != nullptr) available_->previousAvailable = chunk;
    available_ = chunk;
  }

  void RemoveAvailable(Chunk* chunk) {
    if (chunk->previousAvailable != nullptr) {
      chunk->previousAvailable->nextAvailable = chunk->nextAvailable;
    }
    if (chunk->nextAvailable != nullptr) {
      chunk->nextAvailable->previousAvailable = chunk->previousAvailable;
    }
    if (available_ == chunk) available_ = chunk->nextAvailable;
    chunk->previousAvailable = chunk->nextAvailable = nullptr;
    chunk->available = false;
  }

  std::uint64_t owner_ = 0;
  std::size_t blockSize_ = 0;
  Chunk* current_ = nullptr;     // where blocks come from
  Chunk* chunks_ = nullptr;      // every chunk of the pool
  Chunk* available_ = nullptr;   // chunks other than current_ with free blocks
  std::size_t emptyChunks_ = 0;  // chunks other than current_ without a live block
  std::size_t chunkCount_ = 0;
  std::size_t madeSinceScan_ = 0;  // chunks made since remote frees were last taken back
};

// A thread's pools, one per block size.
class ThreadPools {
 public:
  explicit ThreadPools(std::uint64_t id) : id_(id) {
    for (std::size_t k = 0; k < PoolClasses; ++k) pools_[k].Start(id, (k + 1) * PoolGranule);
  }
  ~ThreadPools() {
    for (SizePool& pool : pools_) pool.RetireAll();
  }
  ThreadPools(const ThreadPools&) = delete;
  ThreadPools& operator=(const ThreadPools&) = delete;

  std::uint64_t Id() const { return id_; }
  SizePool& ForSize(std::size_t size) { return pools_[(size - 1) / PoolGranule]; }

 private:
  std::uint64_t id_;
  SizePool pools_[PoolClasses];
};

// This thread's pools, null before its first pooled allocation and after its pools ended.
inline ThreadPools*& CurrentPools() {
  thread_local ThreadPools* pools = nullptr;
  return pools;
}

inline bool& PoolsEnded() {
  thread_local bool ended = false;
  return ended;
}

// Ends this thread's pools when the thread ends.
struct ThreadPoolsOwner {
  ThreadPools* pools = nullptr;
  ~ThreadPoolsOwner() {
    CurrentPools() = nullptr;
    PoolsEnded() = true;
    delete pools;
  }
};

// This thread's pools, made on first use; null once they ended (at the thread's end).
inline ThreadPools* ThisThreadPools() {
  ThreadPools* pools = CurrentPools();
  if (pools != nullptr || PoolsEnded()) return pools;
  static std::atomic<std::uint64_t> lastId{0};
  thread_local ThreadPoolsOwner owner;
  owner.pools = new ThreadPools(lastId.fetch_add(1, std::memory_order_relaxed) + 1);
  CurrentPools() = owner.pools;
  return owner.pools;
}

// Memory for an object of `size` bytes, never null; throws std::bad_alloc.
[[gnu::returns_nonnull]] inline void* PoolAllocate(std::size_t size) {
  if constexpr (!PooledAllocation) {
    return ::operator new(size);
  } else {
    if (size == 0 || size > PoolLargest) return ::operator new(size);
    ThreadPools* pools = ThisThreadPools();
    if (pools != nullptr) return pools->ForSize(size).Allocate();
    // Past the end of this thread's pools (a destructor at exit): a chunk for this block
    // alone, retired at once, so that freeing the block frees the chunk.
    Chunk* chunk = Chunk::Make(0, (size + PoolGranule - 1) / PoolGranule * PoolGranule);
    void* block = chunk->Take();
    chunk->Retire();
    return block;
  }
}

// Gives back the memory of an object of `size` bytes that PoolAllocate gave.
inline void PoolRelease(void* memory, std::size_t size) noexcept {
  if constexpr (!PooledAllocation) {
    ::operator delete(memory);
  } else {
    if (memory == nullptr) return;
    if (size == 0 || size > PoolLargest) return ::operator delete(memory);
    Chunk* chunk = Chunk::Of(memory);
    ThreadPools* pools = CurrentPools();
    if (pools != nullptr && chunk->owner == pools->Id()) {
      pools->ForSize(size).Release(chunk, memory);
    } else {
      chunk->FreeRemotely(memory);
    }
  }
}

}  // namespace allelix::detail
