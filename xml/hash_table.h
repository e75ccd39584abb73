#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "xml/dom_string.h"
#include "xml/keyed_hash.h"
#include "xml/node_pool.h"

namespace corvandel::xml {

// h := (h * 1000003) xor unit for every code unit, from the left, in 32-bit
// unsigned arithmetic.
constexpr uint32_t HashChars(uint32_t seed, const DOMChar* chars, std::size_t length) {
  uint32_t h = seed;
  for (std::size_t i = 0; i < length; ++i) h = (h * 1000003u) ^ chars[i];
  return h;
}
constexpr uint32_t HashChars(uint32_t seed, DOMStringView text) { return HashChars(seed, text.data(), text.size()); }

template <typename T>
struct THashItem {
  DOMString Key;
  uint32_t HashValue = 0;
  // The table's generation when the entry was added (see NextGeneration).
  uint32_t Generation = 0;
  THashItem* Next = nullptr;
  T* Data = nullptr;
  // The entry added just before this one: the table walks its entries
  // through this chain, so that visiting or freeing a few entries never
  // costs a look at every bucket.
  THashItem* Previous = nullptr;
};

// A string-keyed hash table with chained buckets. The bucket count is a
// power of two, at least 256, and doubles once the entries outnumber the
// buckets. Keys are names from documents nobody controls: buckets are
// chosen by KeyedHashChars, so that chosen names cannot pile up in one
// chain; HashValue holds that hash.
//
// The type says who owns the entries' data: with Dispose void the table
// only refers to it; otherwise the table owns every entry's Data and frees
// it with Dispose when the entry goes.
template <typename T, typename Dispose = void>
class THashTable {
public:
  using Item = THashItem<T>;
  static constexpr bool kOwnsData = !std::is_void_v<Dispose>;

  explicit THashTable(uint32_t requestedSize = 256) {
    uint32_t size = kMinBuckets;
    while (size < requestedSize) size *= 2;
    buckets_ = NewBuckets(size);
    bucketCount_ = size;
  }
  ~THashTable() {
    // A table with few entries empties its own buckets, which costs less
    // than clearing the whole array when the next table takes it.
    const bool emptied = count_ <= bucketCount_ / kEmptyByEntryRatio;
    if (emptied)
      for (Item* item = newest_; item; item = item->Previous) buckets_[item->HashValue & (bucketCount_ - 1)] = nullptr;
    DeleteEntries();
    while (TChunk* chunk = chunks_) {
      chunks_ = chunk->Previous;
      GiveThreadBlock(chunk, kChunkHeader + chunk->Slots * sizeof(TSlot));
    }
    if (emptied) GiveZeroedThreadBlock(buckets_, bucketCount_ * sizeof(Item*));
    else GiveThreadBlock(buckets_, bucketCount_ * sizeof(Item*));
  }
  THashTable(const THashTable&) = delete;
  THashTable& operator=(const THashTable&) = delete;

  Item* FindOrAdd(const DOMChar* chars, std::size_t length) {
    bool found = false;
    return FindOrAdd(chars, length, found);
  }
  Item* FindOrAdd(const DOMChar* chars, std::size_t length, bool& found) {
    return Lookup(chars, length, KeyedHashChars(chars, length), found, true);
  }
  // As above, for a caller that has the key's KeyedHashChars already.
  Item* FindOrAdd(const DOMChar* chars, std::size_t length, uint32_t keyedHash, bool& found) {
    return Lookup(chars, length, keyedHash, found, true);
  }
  Item* FindOrAdd(DOMStringView key) { return FindOrAdd(key.data(), key.size()); }

  // The entry for the key, or none; never adds.
  Item* Find(const DOMChar* chars, std::size_t length) const {
    bool found = false;
    return const_cast<THashTable*>(this)->Lookup(chars, length, KeyedHashChars(chars, length), found, false);
  }
  T* FindData(const DOMChar* chars, std::size_t length) const {
    Item* item = Find(chars, length);
    return item ? item->Data : nullptr;
  }
  T* FindData(DOMStringView key) const { return FindData(key.data(), key.size()); }

  // Hands data over to an entry that holds none yet; returns it.
  T* Adopt(Item* item, std::unique_ptr<T, Dispose> data)
    requires kOwnsData
  {
    assert(!item->Data);
    item->Data = data.release();
    return item->Data;
  }

  // Removes the first entry, scanning from the first bucket, whose Data is
  // data. The data object itself is left alone.
  bool RemoveData(const T* data) {
    for (uint32_t bucket = 0; bucket < bucketCount_; ++bucket) {
      for (Item** link = &buckets_[bucket]; *link; link = &(*link)->Next) {
        if ((*link)->Data == data) {
          Item* item = *link;
          *link = item->Next;
          for (Item** added = &newest_; *added; added = &(*added)->Previous) {
            if (*added == item) {
              *added = item->Previous;
              break;
            }
          }
          DeleteItem(item);
          --count_;
          return true;
        }
      }
    }
    return false;
  }

  // Calls fn(item) for every entry, the newest first.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (Item* item = newest_; item; item = item->Previous) fn(*item);
  }

  // Removes every entry, freeing the data objects when the table owns them.
  void Clear() {
    DeleteEntries();
    std::memset(buckets_, 0, bucketCount_ * sizeof(Item*));
  }

  uint32_t Count() const { return count_; }
  // A table handed from one user to the next, like a document's names to
  // the thread's next document, starts a new generation: the entries added
  // from then on carry it, so that the new user tells its own from those
  // it found. False, with the generation unchanged, once it would wrap.
  uint32_t Generation() const { return generation_; }
  bool NextGeneration() {
    if (generation_ == UINT32_MAX) return false;
    ++generation_;
    return true;
  }
  // Entries compared during lookups so far: stays near the number of
  // lookups while the chains are short.
  uint64_t Probes() const { return probes_; }
  uint32_t BucketCount() const { return bucketCount_; }

private:
  static constexpr uint32_t kMinBuckets = 256;

  Item* Lookup(const DOMChar* chars, std::size_t length, uint32_t h, bool& found, bool canAdd) {
    for (;;) {
      Item** link = &buckets_[h & (BucketCount() - 1)];
      for (; *link; link = &(*link)->Next) {
        const Item* item = *link;
        ++probes_;
        if (item->HashValue == h && item->Key.size() == length &&
            DOMStringView(item->Key) == DOMStringView(chars, length)) {
          found = true;
          return *link;
        }
      }
      found = false;
      if (!canAdd) return nullptr;
      if (count_ > BucketCount()) {
        Resize(BucketCount() * 2);
        continue;
      }
      Item* item = NewItem(DOMString(chars, length), h);
      *link = item;
      newest_ = item;
      ++count_;
      return item;
    }
  }

  // Frees every entry, leaving the buckets as they were.
  void DeleteEntries() {
    while (Item* item = newest_) {
      newest_ = item->Previous;
      if constexpr (kOwnsData) {
        if (item->Data) Dispose()(item->Data);
      }
      DeleteItem(item);
    }
    count_ = 0;
  }

  // Entries live in chunks of the table's own, 4, 8, 16 ... entries each,
  // so that a table of a few names costs one allocation instead of one per
  // name. Removed entries go to a free list for the next ones.
  struct TChunk {
    TChunk* Previous;
    std::size_t Slots;
    std::size_t Used;
  };
  static constexpr std::size_t kFirstChunkSlots = 4;
  static constexpr std::size_t kMaxChunkSlots = 1024;
  // Up to one entry per this many buckets, a dying table clears its
  // buckets entry by entry and hands the array on as zeroed.
  static constexpr uint32_t kEmptyByEntryRatio = 16;
  static constexpr std::size_t kChunkHeader = (sizeof(TChunk) + alignof(Item) - 1) / alignof(Item) * alignof(Item);
  union TSlot {
    TSlot* NextFree;
    alignas(Item) unsigned char Storage[sizeof(Item)];
  };

  Item* NewItem(DOMString key, uint32_t hash) {
    void* memory;
    if (freeSlots_) {
      memory = freeSlots_;
      freeSlots_ = freeSlots_->NextFree;
    } else {
      if (!chunks_ || chunks_->Used == chunks_->Slots) {
        const std::size_t slotCount = chunks_ ? std::min(chunks_->Slots * 2, kMaxChunkSlots) : kFirstChunkSlots;
        // Like the buckets, kept by the thread: every document's name
        // table starts with a chunk of the same size.
        auto* chunk = static_cast<TChunk*>(TakeThreadBlock(kChunkHeader + slotCount * sizeof(TSlot)));
        *chunk = TChunk{chunks_, slotCount, 0};
        chunks_ = chunk;
      }
      memory = reinterpret_cast<unsigned char*>(chunks_) + kChunkHeader + chunks_->Used++ * sizeof(TSlot);
    }
    return ::new (memory) Item{std::move(key), hash, generation_, nullptr, nullptr, newest_};
  }

  void DeleteItem(Item* item) {
    item->~Item();
    auto* slot = reinterpret_cast<TSlot*>(item);
    slot->NextFree = freeSlots_;
    freeSlots_ = slot;
  }

  // A bucket array of size empty buckets. A document makes a name table
  // of the smallest size, so the thread keeps such an array for the next
  // one instead of the allocator (whose per-thread caches stop far below
  // its size): one the last table emptied itself, or else any block of
  // that size, cleared with one memset.
  static Item** NewBuckets(uint32_t size) {
    const std::size_t bytes = size * sizeof(Item*);
    if (void* zeroed = TakeZeroedThreadBlock(bytes)) return static_cast<Item**>(zeroed);
    auto** buckets = static_cast<Item**>(TakeThreadBlock(bytes));
    std::memset(buckets, 0, bytes);
    return buckets;
  }

  void Resize(uint32_t newSize) {
    Item** const old = buckets_;
    const uint32_t oldSize = bucketCount_;
    buckets_ = NewBuckets(newSize);
    bucketCount_ = newSize;
    for (uint32_t index = 0; index < oldSize; ++index) {
      for (Item* head = old[index]; head;) {
        Item* item = head;
        head = item->Next;
        Item*& bucket = buckets_[item->HashValue & (newSize - 1)];
        item->Next = bucket;
        bucket = item;
      }
    }
    GiveThreadBlock(old, oldSize * sizeof(Item*));
  }

  uint32_t count_ = 0;
  uint32_t generation_ = 0;
  uint64_t probes_ = 0;
  Item** buckets_ = nullptr;  // bucketCount_ chains
  uint32_t bucketCount_ = 0;
  Item* newest_ = nullptr;  // head of the chain of entries through Previous
  TChunk* chunks_ = nullptr;   // the newest chunk, linked to the older ones
  TSlot* freeSlots_ = nullptr;
};

}  // namespace corvandel::xml
