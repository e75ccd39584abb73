#include "xml/node_pool.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "xml/dom.h"

namespace corvandel::xml {

namespace {

void*& LinkOf(unsigned char* slot) { return *reinterpret_cast<void**>(slot); }

// Set once the thread's cache is destroyed. A thread's thread_local objects
// die in an order of their own, and a document may go after the cache (a
// static one, or one that another thread_local object holds); its blocks
// then go straight back to the allocator. A bool needs no destructor, so it
// stays readable to the thread's very end.
thread_local bool chunkCacheGone = false;

// Chunks of finished documents kept for the next document of the same
// thread: a worker reads answer after answer, and reusing warm memory
// spares both the allocator and the kernel's zeroing of fresh pages.
// Chunks come from operator new, like every other allocation of the
// library, so that a program counting its allocations sees them.
class TChunkCache {
public:
  static constexpr std::size_t kMaxBytes = 64u << 20;

  ~TChunkCache() {
    chunkCacheGone = true;
    for (const Entry& entry : entries_) ::operator delete(entry.memory);
    ::operator delete(zeroed_.memory);
  }

  void* TakeZeroed(std::size_t bytes) {
    if (!zeroed_.memory || zeroed_.bytes != bytes) return nullptr;
    return std::exchange(zeroed_.memory, nullptr);
  }

  void GiveZeroed(void* memory, std::size_t bytes) {
    if (zeroed_.memory) Give(std::exchange(zeroed_.memory, nullptr), zeroed_.bytes);
    zeroed_ = {memory, bytes};
  }

  void* Take(std::size_t bytes) {
    for (std::size_t i = entries_.size(); i-- > 0;) {
      if (entries_[i].bytes != bytes) continue;
      void* memory = entries_[i].memory;
      entries_[i] = entries_.back();
      entries_.pop_back();
      held_ -= bytes;
      return memory;
    }
    return nullptr;
  }

  void Give(void* memory, std::size_t bytes) {
    if (held_ + bytes > kMaxBytes) {
      ::operator delete(memory);
      return;
    }
    try {
      entries_.push_back({memory, bytes});
      held_ += bytes;
    } catch (const std::bad_alloc&) {
      ::operator delete(memory);
    }
  }

private:
  struct Entry {
    void* memory;
    std::size_t bytes;
  };
  std::vector<Entry> entries_;
  std::size_t held_ = 0;
  Entry zeroed_ = {nullptr, 0};  // not counted in held_
};

thread_local TChunkCache chunkCache;

}  // namespace

void* TakeThreadBlock(std::size_t bytes) {
  if (!chunkCacheGone)
    if (void* memory = chunkCache.Take(bytes)) return memory;
  return ::operator new(bytes);
}

void GiveThreadBlock(void* memory, std::size_t bytes) noexcept {
  if (!memory) return;
  if (chunkCacheGone) ::operator delete(memory);
  else chunkCache.Give(memory, bytes);
}

void* TakeZeroedThreadBlock(std::size_t bytes) noexcept {
  return chunkCacheGone ? nullptr : chunkCache.TakeZeroed(bytes);
}

void GiveZeroedThreadBlock(void* memory, std::size_t bytes) noexcept {
  if (!memory) return;
  if (chunkCacheGone) ::operator delete(memory);
  else chunkCache.GiveZeroed(memory, bytes);
}

void TNodePool::ReleaseChunks() {
  while (newest_) {
    Chunk* previous = newest_->previous;
    GiveThreadBlock(newest_, kChunkHeaderSize + newest_->slotCount * slotSize_);
    newest_ = previous;
  }
}

void TNodePool::AddChunk(std::size_t slotCount) {
  const std::size_t bytes = kChunkHeaderSize + slotCount * slotSize_;
  void* memory = TakeThreadBlock(bytes);
  auto* chunk = static_cast<Chunk*>(memory);
  chunk->previous = newest_;
  chunk->slotCount = slotCount;
  newest_ = chunk;
  chunkSlots_ = slotCount;
  unused_ = slotCount;
}

void TNodePool::Grow() {
  AddChunk(chunkSlots_ == 0 ? kFirstChunkSlots : std::min(chunkSlots_ * 2, kMaxChunkSlots));
}

void TNodePool::Release(void* node) {
  unsigned char* slot = static_cast<unsigned char*>(node) - kLinkSize;
  LinkOf(slot) = freeList_;
  freeList_ = slot;
  --live_;
}

void TNodePool::DestroyLiveNodes() {
  // Usually the tree was freed before and nothing is left: the scan stops
  // as soon as no slot is in use any more.
  for (Chunk* chunk = newest_; chunk && live_ > 0; chunk = chunk->previous) {
    // Slots below the newest chunk's unused mark were never handed out.
    for (std::size_t i = chunk == newest_ ? unused_ : 0; i < chunk->slotCount && live_ > 0; ++i) {
      unsigned char* slot = SlotAt(chunk, i);
      // Freeing one node may free others of this pool, which the check
      // then sees as free.
      if (LinkOf(slot) == this) reinterpret_cast<TDOMNode*>(slot + kLinkSize)->Free();
    }
  }
}

// ---------------------------------------------------------------- TTextArena

TTextArena::~TTextArena() {
  while (chunks_) {
    Chunk* previous = chunks_->previous;
    GiveThreadBlock(chunks_, kChunkHeaderSize + chunks_->units * sizeof(char16_t));
    chunks_ = previous;
  }
}

char16_t* TTextArena::AddChunk(std::size_t units, bool current) {
  const std::size_t bytes = kChunkHeaderSize + units * sizeof(char16_t);
  void* memory = TakeThreadBlock(bytes);
  auto* chunk = static_cast<Chunk*>(memory);
  chunk->units = units;
  chunk->previous = chunks_;
  chunks_ = chunk;
  auto* first = reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(chunk) + kChunkHeaderSize);
  if (current) {
    next_ = first;
    room_ = units;
    chunkUnits_ = units;
  }
  return first;
}

const char16_t* TTextArena::CopyToNewChunk(const char16_t* chars, std::size_t length) {
  char16_t* target;
  if (length > kMaxChunkUnits / 2) {
    // A long run gets a chunk of its own, and the current chunk keeps its room.
    target = AddChunk(length, false);
  } else {
    std::size_t units = chunkUnits_ == 0 ? kFirstChunkUnits : std::min(chunkUnits_ * 2, kMaxChunkUnits);
    while (units < length) units *= 2;
    target = AddChunk(units, true);
    next_ += length;
    room_ -= length;
  }
  CopyUnits(target, chars, length);
  return target;
}

}  // namespace corvandel::xml
