#include "shared_buffer.h"

#include "platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ombrix::wayland
{

SharedBuffer::SharedBuffer(wl_shm* shm, int width, int height, int stride, uint32_t format)
{
    bytes_ = static_cast<size_t>(stride) * static_cast<size_t>(height);
    const auto fail = [this](const char* what) {
        const int code = errno;
        release(); // a constructor that throws runs no destructor
        throw PlatformError(Failure::ScreenUnreadable, std::string(what) + std::strerror(code));
    };
    fd_ = memfd_create("ombrix-screen", MFD_CLOEXEC);
    if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(bytes_)) != 0) {
        fail("no memory to share with the compositor: ");
    }
    data_ = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (data_ == MAP_FAILED) {
        data_ = nullptr;
        fail("mapping the shared memory failed: ");
    }
    if (shm) {
        pool_ = wl_shm_create_pool(shm, fd_, static_cast<int32_t>(bytes_));
        buffer_ = wl_shm_pool_create_buffer(pool_, 0, width, height, stride, format);
    }
}

SharedBuffer::~SharedBuffer()
{
    release();
}

void SharedBuffer::release()
{
    if (buffer_) {
        wl_buffer_destroy(buffer_);
        buffer_ = nullptr;
    }
    if (pool_) {
        wl_shm_pool_destroy(pool_);
        pool_ = nullptr;
    }
    if (data_) {
        munmap(data_, bytes_);
        data_ = nullptr;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

} // namespace ombrix::wayland
