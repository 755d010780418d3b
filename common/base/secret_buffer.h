// A byte buffer for secrets (configuration text with a private key, an OpenVPN
// profile, a password, a payload carrying any of them).
//
// Its storage is wiped before it is freed: on destruction, on clear(), and before
// every reallocation, so growing it never leaves a copy behind in freed memory.
// Move-only (a copy would be a second secret to wipe); a moved-from buffer is empty.
// Not thread-safe, like a std::vector.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "common/base/secure_zero.h"

namespace tovra::common {

class SecretBuffer {
 public:
  using value_type = uint8_t;
  using iterator = uint8_t*;
  using const_iterator = const uint8_t*;

  SecretBuffer() = default;
  explicit SecretBuffer(std::span<const uint8_t> bytes) { append(bytes.data(), bytes.size()); }
  static SecretBuffer FromText(std::string_view text) {
    SecretBuffer b;
    b.append(text.data(), text.size());
    return b;
  }
  // Takes a plain buffer's contents and wipes the source (its whole capacity).
  template <typename Container>
  static SecretBuffer Absorb(Container& source) {
    SecretBuffer b;
    b.append(source.data(), source.size() * sizeof(*source.data()));
    SecureZero(source);
    return b;
  }

  SecretBuffer(SecretBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  SecretBuffer& operator=(SecretBuffer&& o) noexcept {
    if (this != &o) {
      Release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
  }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer() { Release(); }

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  uint8_t* begin() { return data_; }
  uint8_t* end() { return data_ + size_; }
  const uint8_t* begin() const { return data_; }
  const uint8_t* end() const { return data_ + size_; }
  uint8_t& operator[](size_t i) { return data_[i]; }
  uint8_t operator[](size_t i) const { return data_[i]; }

  std::span<const uint8_t> span() const { return {data_, size_}; }
  std::span<uint8_t> mutable_span() { return {data_, size_}; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }

  // Grows the storage to at least `n` bytes: new storage, copy, wipe and free the old.
  void reserve(size_t n) {
    if (n <= capacity_) return;
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[n]);
    if (size_ != 0) std::memcpy(fresh.get(), data_, size_);
    Release(/*keep_size=*/true);
    data_ = fresh.release();
    capacity_ = n;
  }

  void append(const void* bytes, size_t n) {
    if (n == 0) return;
    Grow(size_ + n);
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  void push_back(uint8_t b) { append(&b, 1); }
  // The vector-shaped append the payload writer uses.
  template <typename It>
  void insert(uint8_t* /*end*/, It first, It last) {
    for (; first != last; ++first) push_back(static_cast<uint8_t>(*first));
  }
  // Shrinking wipes the bytes given up; growing adds zero bytes.
  void resize(size_t n) {
    if (n < size_) {
      SecureZero(data_ + n, size_ - n);
    } else if (n > size_) {
      Grow(n);
      std::memset(data_ + size_, 0, n - size_);
    }
    size_ = n;
  }
  // Wipes the contents; the storage is kept for reuse.
  void clear() {
    SecureZero(data_, capacity_);
    size_ = 0;
  }

  friend bool operator==(const SecretBuffer& a, const SecretBuffer& b) {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
  }

 private:
  void Grow(size_t needed) {
    if (needed <= capacity_) return;
    reserve(std::max(needed, capacity_ * 2));
  }
  void Release(bool keep_size = false) {
    if (data_ != nullptr) {
      SecureZero(data_, capacity_);
      delete[] data_;
    }
    data_ = nullptr;
    capacity_ = 0;
    if (!keep_size) size_ = 0;
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace tovra::common
