#pragma once

// Buffers that last one frame.
#include <cstddef>
#include <memory>

namespace kavo {

// Values that a pass fills before any pass reads them: made when a frame
// needs them, without zeroing them first (for a frame's worth, a pass of its
// own), and given back as soon as the frame is done with them.
template <class T>
class FrameBuffer {
public:
    void Resize(size_t size) {
        if (size == size_) return;
        values_ = std::make_unique_for_overwrite<T[]>(size);
        size_ = size;
    }
    void Release() {
        values_.reset();
        size_ = 0;
    }
    size_t size() const { return size_; }
    T* data() { return values_.get(); }
    const T* data() const { return values_.get(); }
    T& operator[](size_t i) { return values_[i]; }
    const T& operator[](size_t i) const { return values_[i]; }

private:
    std::unique_ptr<T[]> values_;
    size_t size_ = 0;
};

}  // namespace kavo
