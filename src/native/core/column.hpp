// A growable column of plain values whose buffer can be handed over to its
// final owner (a NumPy array) without a copy.
//
// A large column lives in its own anonymous mapping: growing it remaps the
// pages instead of copying them (malloc's heap would copy on every doubling
// once its dynamic mmap threshold has risen), and it asks for transparent
// huge pages, since the outputs of a long run reach hundreds of megabytes and
// faulting them in 4 KiB at a time costs more than the run itself. Mappings
// of outputs that died come back through the pool (mapping_pool.hpp), pages
// and all, and the next columns take them.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "core/mapping_pool.hpp"

namespace pelmora {

// A buffer given up by a Column: free it with release_buffer.
struct ColumnBuffer {
  void* data = nullptr;
  std::size_t mapped = 0;  // bytes of its mapping, 0: from malloc
  bool sparse = false;     // a reservation backed only where written
  std::size_t used = 0;    // bytes written (what of a reservation is backed)
};

// A mapping goes back to the pool; malloc's memory to malloc.
inline void release_buffer(const ColumnBuffer& b) {
  if (b.mapped) {
    pool_give(b.data, b.mapped, b.sparse ? b.used : b.mapped, b.sparse);
  } else {
    std::free(b.data);
  }
}

template <class T>
class Column {
 public:
  Column() = default;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() { release_buffer(buffer()); }

  void push_back(T v) {
    if (size_ == cap_) reserve(size_ + 1);
    data_[size_++] = v;
  }
  // Appends n elements left for the caller to set and returns the first.
  T* extend(std::size_t n) {
    reserve(size_ + n);
    T* p = data_ + size_;
    size_ += n;
    return p;
  }
  void resize_down(std::size_t n) {
    if (n < size_) size_ = n;
  }
  void assign(std::size_t n, T fill) {
    size_ = 0;
    T* p = extend(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = fill;
  }

  // Room for `n` elements (the buffer may move); the size is unchanged.
  void reserve_for(std::size_t n) { reserve(n); }
  std::size_t capacity() const { return cap_; }
  // The size of a column whose elements up to `n` were written in place
  // (n within the capacity).
  void set_size(std::size_t n) { size_ = n; }

  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // An empty column starts in a mapping the pool holds with room for `n`
  // elements, when `n` would take a mapping and the pool holds one; else it
  // stays empty.
  void start_pooled(std::size_t n) {
    if (data_ != nullptr || n > SIZE_MAX / sizeof(T) / 2 || n * sizeof(T) < kMapAbove) return;
    const std::size_t want = mapping_bytes(n * sizeof(T));
    std::size_t got = 0;
    if (void* reused = pool_take(want, got)) {
      data_ = static_cast<T*>(reused);
      mapped_ = got;
      cap_ = got / sizeof(T);
    }
  }

  // Reserves address space for `n` elements at once, so that the buffer never
  // moves (pages are only backed once written). False when the system
  // refuses; the column then grows as usual.
  bool reserve_fixed(std::size_t n) {
    if (data_ != nullptr || n == 0 || n > SIZE_MAX / sizeof(T) / 2) return false;
    const std::size_t bytes = mapping_bytes(n * sizeof(T));
    std::size_t got = bytes;
    void* p = take_mapping(bytes, got, true);
    if (p == nullptr) return false;
    data_ = static_cast<T*>(p);
    mapped_ = got;
    cap_ = bytes / sizeof(T);
    fixed_ = true;
    return true;
  }

  // Gives up the buffer; the column is empty afterwards.
  ColumnBuffer release() {
    const ColumnBuffer b = buffer();
    data_ = nullptr;
    size_ = cap_ = mapped_ = 0;
    fixed_ = false;
    return b;
  }

 private:
  static constexpr std::size_t kMapAbove = std::size_t{1} << 17;

  void reserve(std::size_t need) {
    if (need <= cap_) return;
    if (fixed_) throw std::bad_alloc();  // its reservation is a proven bound
    std::size_t cap = cap_ ? cap_ * 2 : 64;
    if (cap < need) cap = need;
    if (cap > SIZE_MAX / sizeof(T) / 2) throw std::bad_alloc();
    std::size_t bytes = cap * sizeof(T);
    if (data_ == nullptr && bytes >= kMapAbove) {
      // A column whose first buffer is a mapping anyway takes one the pool
      // holds, when it holds one: its pages are backed and there is nothing
      // to copy yet. A column asking for less stays in malloc's memory until
      // it outgrows it (a table of a research loop starts where the last
      // run's ended instead, see TableRows): were every column to take a
      // mapping, those that need one would find the pool emptied by those
      // that do not, and map afresh, run after run.
      const std::size_t want = mapping_bytes(bytes);
      std::size_t got = 0;
      if (void* reused = pool_take(want, got)) {
        data_ = static_cast<T*>(reused);
        mapped_ = got;
        cap_ = got / sizeof(T);
        return;
      }
    }
    if (bytes < kMapAbove) {
      void* p = std::realloc(data_, bytes);
      if (p == nullptr) throw std::bad_alloc();
      data_ = static_cast<T*>(p);
      cap_ = cap;
      return;
    }
    bytes = mapping_bytes(bytes);
    // A mapping an earlier output gave back has its pages backed already:
    // copying what the column holds costs less than faulting fresh pages.
    std::size_t got = 0;
    if (void* reused = pool_take(bytes, got)) {
      if (size_) __builtin_memcpy(reused, data_, size_ * sizeof(T));
      release_buffer(buffer());
      data_ = static_cast<T*>(reused);
      mapped_ = got;
      cap_ = got / sizeof(T);
      return;
    }
    void* p;
    if (mapped_) {
      p = mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw std::bad_alloc();
    } else {
      p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      if (size_) __builtin_memcpy(p, data_, size_ * sizeof(T));
      std::free(data_);
    }
    if (huge_mapping(bytes)) madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<T*>(p);
    mapped_ = bytes;
    cap_ = bytes / sizeof(T);
  }

  ColumnBuffer buffer() const { return ColumnBuffer{data_, mapped_, fixed_, size_ * sizeof(T)}; }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  std::size_t mapped_ = 0;
  bool fixed_ = false;
};

// The row count of a table whose columns grow together, checked for room
// once per row and sized at seal(). `Table` derives from it and visits its
// columns with for_each_column(fn).
template <class Table>
class TableRows {
 public:
  std::size_t size() const { return n_; }
  // Every column's size is the table's count (before they are handed over);
  // the next table of this kind starts with room for as many rows.
  void seal() {
    set_sizes();
    last_rows_.store(n_, std::memory_order_relaxed);
  }

 protected:
  // The index of a new row, room made for it in every column.
  std::size_t next_row() {
    if (n_ == room_) grow();
    return n_++;
  }

 private:
  Table& table() { return static_cast<Table&>(*this); }
  void set_sizes() { table().for_each_column([&](auto& c) { c.set_size(n_); }); }
  void grow() {
    // Each column keeps what it holds when it moves: its size first.
    set_sizes();
    // A research loop runs the same size again: a column starts in a pooled
    // mapping with room for the rows the last table of this kind held, when
    // the pool holds one, instead of growing through copies. (Mapping that
    // room afresh would leave the pooled pieces a growth goes through idle.)
    if (n_ == 0) {
      const std::size_t last = last_rows_.load(std::memory_order_relaxed);
      table().for_each_column([&](auto& c) { c.start_pooled(last); });
    }
    std::size_t room = SIZE_MAX;
    table().for_each_column([&](auto& c) {
      c.reserve_for(n_ + 1);
      room = std::min(room, c.capacity());
    });
    room_ = room;
  }

  // Shared by the runs of every thread: a hint, whoever wrote it last.
  static inline std::atomic<std::size_t> last_rows_{0};
  std::size_t n_ = 0, room_ = 0;
};

}  // namespace pelmora
