#include "primitives/ixTile.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr std::ptrdiff_t kRowAlign = 16;

// Frame-sized tiles live in their own mapping, aligned and marked for huge
// pages: code that walks a frame tile by tile touches a new 4 KiB page on
// every row of every tile, and huge pages take those TLB misses away. Fresh
// mappings read as zero, so they need no clearing either.
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kOwnMappingFrom = std::size_t(16) << 20;

// `size` zero bytes, the first on a kRowAlign boundary.
std::shared_ptr<std::byte> allocateZeroed(std::size_t size) {
  if (size >= kOwnMappingFrom) {
    std::size_t const length = size + kHugePage;
    void* const base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    auto const first = (reinterpret_cast<std::uintptr_t>(base) + kHugePage - 1) & ~(kHugePage - 1);
    madvise(reinterpret_cast<void*>(first), size / kHugePage * kHugePage, MADV_HUGEPAGE);
    return std::shared_ptr<std::byte>(reinterpret_cast<std::byte*>(first),
                                      [base, length](std::byte*) { munmap(base, length); });
  }
  // Over-allocated by the alignment so that row 0 can start on a boundary.
  void* const raw = std::calloc(size + kRowAlign, 1);
  if (!raw) throw std::bad_alloc();
  std::shared_ptr<std::byte> const owner(static_cast<std::byte*>(raw), [](std::byte* p) { std::free(p); });
  auto const offset = (kRowAlign - static_cast<std::ptrdiff_t>(reinterpret_cast<std::uintptr_t>(raw) % kRowAlign)) % kRowAlign;
  return std::shared_ptr<std::byte>(owner, owner.get() + offset);
}

}  // namespace

IxTile::IxTile(IxPixelFormat const& format, GeRectangle<int> const& region,
               CoRgbaColorTyped<float> const& fillColor, float pixelAspectRatio,
               std::ptrdiff_t rowStride)
    : _storage(std::make_shared<Storage>()) {
  Storage& s = *_storage;
  s.format = format;
  s.region = region.isEmpty() ? GeRectangle<int>(region.x1(), region.y1(), region.x1(), region.y1()) : region;
  s.aspectRatio = pixelAspectRatio;
  s.fillColor = fillColor;
  std::ptrdiff_t const packed = static_cast<std::ptrdiff_t>(s.region.getWidth()) * format.getBytesPerPixel();
  std::ptrdiff_t const minimal = (packed + kRowAlign - 1) / kRowAlign * kRowAlign;
  QX_ASSERT(rowStride == 0 || rowStride >= packed);
  s.rowStride = rowStride > 0 ? (rowStride + kRowAlign - 1) / kRowAlign * kRowAlign : minimal;
  std::size_t const size = static_cast<std::size_t>(s.rowStride) * static_cast<std::size_t>(s.region.getHeight());
  s.memory = allocateZeroed(size);
  s.data = s.memory.get();
}

IxTile::IxTile(IxTile const& parent, GeRectangle<int> const& region, CoRgbaColorTyped<float> const& fillColor)
    : _storage(std::make_shared<Storage>()) {
  Storage const& p = parent.checked();
  QX_ASSERT(p.region.contains(region));
  Storage& s = *_storage;
  s.format = p.format;
  s.region = region.isEmpty() ? GeRectangle<int>(p.region.x1(), p.region.y1(), p.region.x1(), p.region.y1()) : region;
  s.rowStride = p.rowStride;
  s.aspectRatio = p.aspectRatio;
  s.fillColor = fillColor;
  s.memory = p.memory;
  s.data = p.data + static_cast<std::ptrdiff_t>(s.region.y1() - p.region.y1()) * p.rowStride +
           static_cast<std::ptrdiff_t>(s.region.x1() - p.region.x1()) * p.format.getBytesPerPixel();
}

IxGuardBase::IxGuardBase(IxTile const& tile) : _tile(tile) {
  QX_ASSERT_TEXT(tile.isValid(), "isValid()");
  _region = tile._storage->region;
  _data = tile._storage->data;
  _stride = tile._storage->rowStride;
  _bpp = tile._storage->format.getBytesPerPixel();
}
