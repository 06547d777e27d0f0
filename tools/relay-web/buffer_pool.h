// Message buffers that are used again once no browser holds them: a message
// goes out as a shared buffer, kept alive while any browser is still writing
// it, and a row's message takes the first buffer nobody holds any more. Once
// there are as many as are ever held at once, a row allocates nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace web {

class BufferPool {
 public:
  explicit BufferPool(std::size_t capacity = 0) : capacity_(capacity) {}

  // A buffer that only this pool holds, or a new one with the capacity.
  std::shared_ptr<std::string> Free() {
    // One thread: a count of 1 (this list's) cannot rise while we look.
    for (const std::shared_ptr<std::string>& buffer : buffers_) {
      if (buffer.use_count() == 1) return buffer;
    }
    auto buffer = std::make_shared<std::string>();
    buffer->reserve(capacity_);
    buffers_.push_back(buffer);
    return buffer;
  }

 private:
  std::size_t capacity_;
  std::vector<std::shared_ptr<std::string>> buffers_;
};

}  // namespace web
