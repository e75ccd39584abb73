#pragma once

// A vector of node pointers that holds its first few items in place: most
// named node maps (an element's attributes) hold a handful of items, and an
// allocation of their own would cost as much as the rest of the element.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

namespace corvandel::xml {

class TDOMNode;

class TNodeVector {
public:
  static constexpr std::size_t kInPlace = 4;

  TNodeVector() = default;
  TNodeVector(const TNodeVector&) = delete;
  TNodeVector& operator=(const TNodeVector&) = delete;
  ~TNodeVector() { Release(); }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  TDOMNode*& operator[](std::size_t index) { return data_[index]; }
  TDOMNode* operator[](std::size_t index) const { return data_[index]; }
  TDOMNode* back() const { return data_[size_ - 1]; }
  TDOMNode** begin() { return data_; }
  TDOMNode** end() { return data_ + size_; }
  TDOMNode* const* begin() const { return data_; }
  TDOMNode* const* end() const { return data_ + size_; }

  void reserve(std::size_t room) {
    if (room <= capacity_) return;
    auto grown = std::make_unique<TDOMNode*[]>(room);
    std::copy(data_, data_ + size_, grown.get());
    const std::size_t size = size_;
    Release();
    data_ = grown.release();
    capacity_ = room;
    size_ = size;
  }
  void push_back(TDOMNode* node) { insert(end(), node); }
  TDOMNode** insert(TDOMNode** at, TDOMNode* node) {
    const auto index = static_cast<std::size_t>(at - data_);
    if (size_ == capacity_) reserve(2 * capacity_);
    std::copy_backward(data_ + index, data_ + size_, data_ + size_ + 1);
    data_[index] = node;
    ++size_;
    return data_ + index;
  }
  TDOMNode** erase(TDOMNode** at) {
    std::copy(at + 1, data_ + size_, at);
    --size_;
    return at;
  }
  void clear() { size_ = 0; }
  // Exchanges the items; either side may hold them in place.
  void swap(TNodeVector& other) {
    TNodeVector held;
    held.Take(*this);
    Take(other);
    other.Take(held);
  }

private:
  bool InPlace() const { return data_ == inPlace_; }
  void Release() {
    if (!InPlace()) delete[] data_;
    data_ = inPlace_;
    capacity_ = kInPlace;
    size_ = 0;
  }
  // Takes the items of other, which is left empty; this must be empty.
  void Take(TNodeVector& other) {
    Release();
    if (other.InPlace()) {
      std::copy(other.data_, other.data_ + other.size_, inPlace_);
    } else {
      data_ = other.data_;
      capacity_ = other.capacity_;
      other.data_ = other.inPlace_;
      other.capacity_ = kInPlace;
    }
    size_ = other.size_;
    other.size_ = 0;
  }

  TDOMNode* inPlace_[kInPlace];
  TDOMNode** data_ = inPlace_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInPlace;
};

}  // namespace corvandel::xml
