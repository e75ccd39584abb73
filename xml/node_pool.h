#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvandel::xml {

class TDOMNode;

// Blocks that a thread keeps for its next document: the chunks of node
// pools and text arenas, and other storage of the sizes every document
// needs. TakeThreadBlock hands out a kept block of exactly that size, or a
// new one; GiveThreadBlock keeps the block, up to a bound, or frees it.
void* TakeThreadBlock(std::size_t bytes);
void GiveThreadBlock(void* memory, std::size_t bytes) noexcept;
// The same for one block whose bytes are all zero: the thread keeps the
// last one given; Take hands it out only for the same size, else none.
void* TakeZeroedThreadBlock(std::size_t bytes) noexcept;
void GiveZeroedThreadBlock(void* memory, std::size_t bytes) noexcept;

// Fixed-size slots for the nodes of one document. Chunks of 32, 64, 128, ...
// up to kMaxChunkSlots slots are handed out from their last slot downwards;
// freed slots are reused last-freed-first. Each slot starts with a link word
// that holds the pool while the slot is in use and the next free slot while
// it is free.
class TNodePool {
public:
  // Inline, as is the test in the destructor: a document holds a pool for
  // every size class, and most of them never take a chunk.
  explicit TNodePool(std::size_t nodeSize)
      : nodeSize_(nodeSize), slotSize_(kLinkSize + (nodeSize + kLinkSize - 1) / kLinkSize * kLinkSize) {}
  // Releases the chunks. Live nodes must have been destroyed before, with
  // DestroyLiveNodes, so that nodes of different pools may refer to each
  // other while they are torn down.
  ~TNodePool() {
    if (newest_) ReleaseChunks();
  }
  TNodePool(const TNodePool&) = delete;
  TNodePool& operator=(const TNodePool&) = delete;

  // Storage for one node, marked in use; the caller constructs the node.
  // Inline: every node of a parsed document comes through here.
  void* Allocate() {
    unsigned char* slot;
    if (freeList_) {
      slot = static_cast<unsigned char*>(freeList_);
      freeList_ = *reinterpret_cast<void**>(slot);
    } else {
      if (unused_ == 0) Grow();
      slot = SlotAt(newest_, --unused_);
    }
    *reinterpret_cast<void**>(slot) = this;
    ++live_;
    return slot + kLinkSize;
  }
  // Returns the storage of a node whose destructor has run.
  void Release(void* node);
  // The pool a node in use was allocated from: its slot's link word says.
  static TNodePool* OwnerOf(void* node) {
    return *reinterpret_cast<TNodePool**>(static_cast<unsigned char*>(node) - kLinkSize);
  }
  // Frees every node still in use, chunk by chunk from the newest.
  void DestroyLiveNodes();
  // Runs destroy(node) on every slot in use and marks all slots free, for
  // a document that goes as a whole.
  template <typename Destroy>
  void DestroyInPlace(Destroy destroy);

  std::size_t NodeSize() const { return nodeSize_; }
  // Slots in use.
  std::size_t LiveCount() const { return live_; }
  std::size_t ChunkSlots() const { return chunkSlots_; }

  static constexpr std::size_t kFirstChunkSlots = 32;
  // Chunks stop doubling here (a megabyte or so): past it, doubling would
  // leave up to half of a large document's node storage unused, while a
  // chunk this large already costs one allocation per thousands of nodes.
  static constexpr std::size_t kMaxChunkSlots = 8192;
  // The alignment of every slot. Nodes hold pointers, integers and
  // strings only; the document checks each pooled class against it.
  static constexpr std::size_t kSlotAlignment = alignof(void*);

private:
  struct Chunk {
    Chunk* previous;
    std::size_t slotCount;
  };
  // The link word in front of every slot, one word: padding it to the
  // strictest fundamental alignment would cost every node eight bytes
  // more for an alignment no node needs.
  static constexpr std::size_t kLinkSize = kSlotAlignment;
  // Slots follow the chunk header, which is padded like the link word.
  static constexpr std::size_t kChunkHeaderSize = (sizeof(void*) * 2 + kLinkSize - 1) / kLinkSize * kLinkSize;
  void AddChunk(std::size_t slotCount);
  // Adds the next chunk, twice the size of the last up to kMaxChunkSlots.
  void Grow();
  void ReleaseChunks();
  unsigned char* SlotAt(Chunk* chunk, std::size_t index) const {
    return reinterpret_cast<unsigned char*>(chunk) + kChunkHeaderSize + index * slotSize_;
  }

  std::size_t nodeSize_;
  std::size_t slotSize_;
  Chunk* newest_ = nullptr;      // chain of chunks, each linking to the previous one
  std::size_t chunkSlots_ = 0;   // slots in the newest chunk
  std::size_t unused_ = 0;       // slots of the newest chunk never handed out
  void* freeList_ = nullptr;     // slot storage (link word first)
  std::size_t live_ = 0;
};

// Storage for the text of the nodes a parser builds: runs of code units
// placed one after another in chunks of the document's own, so that a text
// node costs no allocation of its own. Nothing in it is freed on its own;
// the chunks go with the arena.
class TTextArena {
public:
  TTextArena() = default;
  ~TTextArena();
  TTextArena(const TTextArena&) = delete;
  TTextArena& operator=(const TTextArena&) = delete;

  // A copy of the units, which stays put until the arena goes.
  const char16_t* Copy(const char16_t* chars, std::size_t length) {
    if (length > room_) return CopyToNewChunk(chars, length);
    char16_t* const target = next_;
    next_ += length;
    room_ -= length;
    CopyUnits(target, chars, length);
    return target;
  }

  static constexpr std::size_t kFirstChunkUnits = 1024;
  static constexpr std::size_t kMaxChunkUnits = 32768;

private:
  struct Chunk {
    Chunk* previous;
    std::size_t units;
  };
  static constexpr std::size_t kChunkHeaderSize = sizeof(Chunk);
  char16_t* AddChunk(std::size_t units, bool current);
  const char16_t* CopyToNewChunk(const char16_t* chars, std::size_t length);
  // Most text is a few dozen units: a copy in blocks of eight, the last
  // one flush with the end, costs less than a call of the library's copy,
  // whose choice by length mostly guesses wrong for such runs.
  static void CopyUnits(char16_t* target, const char16_t* chars, std::size_t length) {
#if defined(__SSE2__)
    if (length >= 8 && length <= 64) {
      for (std::size_t i = 0; i + 8 < length; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(target + length - 8),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + length - 8)));
      return;
    }
#endif
    std::memcpy(target, chars, length * sizeof(char16_t));
  }

  Chunk* chunks_ = nullptr;  // the newest first, each linked to the one before
  char16_t* next_ = nullptr;  // the next free unit of the current chunk
  std::size_t room_ = 0;      // free units left there
  std::size_t chunkUnits_ = 0;  // size of the current chunk
};

template <typename Destroy>
void TNodePool::DestroyInPlace(Destroy destroy) {
  for (Chunk* chunk = newest_; chunk && live_ > 0; chunk = chunk->previous) {
    for (std::size_t i = chunk == newest_ ? unused_ : 0; i < chunk->slotCount; ++i) {
      unsigned char* slot = SlotAt(chunk, i);
      if (*reinterpret_cast<void**>(slot) != this) continue;
      destroy(slot + kLinkSize);
      *reinterpret_cast<void**>(slot) = nullptr;
      --live_;
    }
  }
  // The chunks stay with the pool until it goes; no slot is handed out again.
  freeList_ = nullptr;
  unused_ = 0;
}

}  // namespace corvandel::xml
