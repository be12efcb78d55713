#pragma once
// Memory shared with a Wayland compositor for one frame's pixels: a memfd, mapped here, and the
// compositor's buffer over it.

#include <cstddef>
#include <cstdint>

struct wl_shm;
struct wl_shm_pool;
struct wl_buffer;

namespace ombrix::wayland
{

class SharedBuffer
{
public:
    // Throws PlatformError (Failure::ScreenUnreadable) when the memory cannot be had; nothing is
    // left open then. `shm` may be null: the memory alone, no buffer (for tests).
    SharedBuffer(wl_shm* shm, int width, int height, int stride, uint32_t format);
    ~SharedBuffer();
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;

    wl_buffer* buffer() const { return buffer_; }
    const uint8_t* data() const { return static_cast<const uint8_t*>(data_); }

private:
    void release();

    int fd_ = -1;
    size_t bytes_ = 0;
    void* data_ = nullptr;
    wl_shm_pool* pool_ = nullptr;
    wl_buffer* buffer_ = nullptr;
};

} // namespace ombrix::wayland
