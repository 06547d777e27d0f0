// Memory for the asynchronous operation that runs for every row (the relay
// read, each browser's write), so that a row allocates nothing. Asio keeps
// one recycled block per thread, but it cannot hold a Beast WebSocket write
// (the operation carries the whole composed handler) and the read and the
// writes take turns evicting each other from it: without this, every row
// cost two trips to the heap.
//
// Each chain of operations (one read or one write at a time, each next one
// started from the last one's handler) gets its own HandlerMemory; an
// operation that does not fit, or overlaps another, falls back to the heap.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace web {

class HandlerMemory {
 public:
  HandlerMemory() = default;
  HandlerMemory(const HandlerMemory&) = delete;
  HandlerMemory& operator=(const HandlerMemory&) = delete;

  void* Allocate(std::size_t size) {
    if (!inUse_ && size <= sizeof storage_) {
      inUse_ = true;
      return storage_;
    }
    return ::operator new(size);
  }
  void Deallocate(void* pointer) {
    if (pointer == storage_) {
      inUse_ = false;
    } else {
      ::operator delete(pointer);
    }
  }

 private:
  alignas(std::max_align_t) unsigned char storage_[2048];
  bool inUse_ = false;
};

// The allocator Asio and Beast find on a handler wrapped by WithMemory. It
// shares ownership of the memory: an operation still pending when its
// owner is gone (the io_context destroys it later) must still give its
// block back.
template <typename T>
class HandlerAllocator {
 public:
  using value_type = T;

  explicit HandlerAllocator(std::shared_ptr<HandlerMemory> memory) : memory_(std::move(memory)) {}
  template <typename U>
  HandlerAllocator(const HandlerAllocator<U>& other) noexcept : memory_(other.memory_) {}

  T* allocate(std::size_t count) { return static_cast<T*>(memory_->Allocate(sizeof(T) * count)); }
  void deallocate(T* pointer, std::size_t) { memory_->Deallocate(pointer); }

  template <typename U>
  bool operator==(const HandlerAllocator<U>& other) const noexcept {
    return memory_ == other.memory_;
  }

 private:
  template <typename>
  friend class HandlerAllocator;
  std::shared_ptr<HandlerMemory> memory_;
};

// A completion handler that allocates its operations from `memory`.
template <typename Handler>
class WithMemory {
 public:
  using allocator_type = HandlerAllocator<void>;

  WithMemory(const std::shared_ptr<HandlerMemory>& memory, Handler handler)
      : memory_(memory), handler_(std::move(handler)) {}

  allocator_type get_allocator() const noexcept { return allocator_type(memory_); }

  template <typename... Args>
  void operator()(Args&&... args) {
    handler_(std::forward<Args>(args)...);
  }

 private:
  std::shared_ptr<HandlerMemory> memory_;
  Handler handler_;
};

}  // namespace web
