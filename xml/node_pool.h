#pragma once

#include <cstddef>
#include <cstdint>

namespace corvandel::xml {

class TDOMNode;

// Fixed-size slots for the nodes of one document. Chunks of 32, 64, 128, ...
// slots are handed out from their last slot downwards; freed slots are
// reused last-freed-first. Each slot starts with a link word that holds the
// pool while the slot is in use and the next free slot while it is free.
class TNodePool {
public:
  explicit TNodePool(std::size_t nodeSize);
  // Releases the chunks. Live nodes must have been destroyed before, with
  // DestroyLiveNodes, so that nodes of different pools may refer to each
  // other while they are torn down.
  ~TNodePool();
  TNodePool(const TNodePool&) = delete;
  TNodePool& operator=(const TNodePool&) = delete;

  // Storage for one node, marked in use; the caller constructs the node.
  void* Allocate();
  // Returns the storage of a node whose destructor has run.
  void Release(void* node);
  // Frees every node still in use, chunk by chunk from the newest.
  void DestroyLiveNodes();

  std::size_t NodeSize() const { return nodeSize_; }
  // Slots in use.
  std::size_t LiveCount() const { return live_; }
  std::size_t ChunkSlots() const { return chunkSlots_; }

  static constexpr std::size_t kFirstChunkSlots = 32;

private:
  struct Chunk;
  void AddChunk(std::size_t slots);
  unsigned char* SlotAt(Chunk* chunk, std::size_t index) const;

  std::size_t nodeSize_;
  std::size_t slotSize_;
  Chunk* newest_ = nullptr;      // chain of chunks, each linking to the previous one
  std::size_t chunkSlots_ = 0;   // slots in the newest chunk
  std::size_t unused_ = 0;       // slots of the newest chunk never handed out
  void* freeList_ = nullptr;     // slot storage (link word first)
  std::size_t live_ = 0;
};

}  // namespace corvandel::xml
