#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "image/BlendMode.h"
#include "image/Platform.h"

// Storage for pixels. Elements made without a value are left as they are: a layer a reader fills
// completely is not zeroed first (zeroing fresh pages costs about as much as filling them). Large
// blocks come from the system directly, zeroed, in large pages where it has them.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    static constexpr size_t kLargeBlock = size_t{2} << 20;
    // True when a fresh block of n elements is all zero bytes.
    static constexpr bool comesZeroed(size_t n) { return n * sizeof(T) >= kLargeBlock; }

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        if (n * sizeof(T) < kLargeBlock) return std::allocator<T>::allocate(n);
        return static_cast<T*>(allocateLargeBlock(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept {
        if (n * sizeof(T) < kLargeBlock) return std::allocator<T>::deallocate(p, n);
        releaseLargeBlock(p, n * sizeof(T));
    }
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using PixelBytes = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

// One full-canvas raster layer: 4 bytes per pixel (blue, green, red, alpha), rows top to bottom,
// straight alpha.
class Layer {
public:
    Layer();
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // Replaces the pixels by width x height transparent black pixels and resets the attributes.
    // Negative sizes are taken as 0.
    void resize(int32_t newWidth, int32_t newHeight, BlendMode mode);
    // The same, but the pixels are left unset: for a caller that writes every byte of them.
    void resizeForOverwrite(int32_t newWidth, int32_t newHeight, BlendMode mode);
    // One of the two (overwrite picks the second), putting the pixels in storage an earlier layer
    // gave back when it has exactly their size: pages already touched cost nothing to fill again.
    void resizeReusing(PixelBytes storage, int32_t newWidth, int32_t newHeight, BlendMode mode, bool overwrite);

    // Bytes the pixels of a width x height layer take, or UINT64_MAX for negative sizes.
    static uint64_t pixelBytes(int64_t w, int64_t h);

    int32_t refCount = 0;
    int32_t sqrtTable[256];
    int32_t width = 0;
    int32_t height = 0;
    PixelBytes pixels;
    uint8_t alphaLocked = 0;
    uint8_t clipping = 0;
    uint8_t visible = 1;
    std::string name;  // code page 932 bytes, never converted
    int32_t opacity = 100;
    BlendMode blendMode = blend::Normal;

private:
    void resetAttributes(int32_t newWidth, int32_t newHeight, BlendMode mode);
};
