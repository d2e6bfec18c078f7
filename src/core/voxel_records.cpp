#include "core/voxel_records.h"

#include <new>

#include <sys/mman.h>

#include "core/voxel_order.h"

namespace korvane_navigation {
namespace voxel {

double DistinctKeys::estimate() const {
  constexpr double m = std::size_t{1} << kBits;
  double sum = 0.0;
  std::size_t empty = 0;
  for (const std::uint8_t r : rank_) {
    sum += std::ldexp(1.0, -r);
    empty += r == 0;
  }
  const double raw = 0.7213 / (1.0 + 1.079 / m) * m * m / sum;
  return raw <= 2.5 * m && empty > 0 ? m * std::log(m / static_cast<double>(empty)) : raw;
}

RecordPool::~RecordPool() {
  if (data_ != nullptr) munmap(data_, reserved_bytes_);
}

void RecordPool::grow() {
  const std::size_t usable = usable_ + kStep;
  if (usable * sizeof(VoxelRecord) > reserved_bytes_) reserve(usable * sizeof(VoxelRecord));
  auto* from = reinterpret_cast<unsigned char*>(data_ + usable_);
  const std::size_t bytes = kStep * sizeof(VoxelRecord);
  if (mprotect(from, bytes, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
  populate(from, bytes);
  usable_ = usable;
}

void RecordPool::reserve(std::size_t at_least) {
  for (std::size_t bytes = std::max(kReserve, 2 * at_least);; bytes /= 2) {
    if (bytes < at_least) throw std::bad_alloc();
    void* range = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) continue;
    auto* data = static_cast<VoxelRecord*>(range);
    if (usable_ > 0) {
      if (mprotect(data, usable_ * sizeof(VoxelRecord), PROT_READ | PROT_WRITE) != 0) {
        munmap(range, bytes);
        throw std::bad_alloc();
      }
      std::memcpy(data, data_, used_ * sizeof(VoxelRecord));
      munmap(data_, reserved_bytes_);
    }
    data_ = data;
    reserved_bytes_ = bytes;
    return;
  }
}

void BandedRecords::settle() {
  for (Band& b : bands_) write(b);
#if defined(VOXEL_FILTER_SSE2)
  _mm_sfence();
#endif
}

void BandedRecords::shrink(std::size_t band, std::uint64_t n) {
  Band& b = bands_[band];
  records_ -= b.records - n;
  b.records = n;
  std::uint32_t k = b.first;
  while (n > blocks_[k].capacity && blocks_[k].next != kNone) {
    n -= blocks_[k].capacity;
    k = blocks_[k].next;
  }
  b.last = k;
  b.fill = static_cast<std::uint32_t>(n);
  b.capacity = blocks_[k].capacity;
  b.tail = blocks_[k].at + n;
  for (std::uint32_t spare = blocks_[k].next; spare != kNone;) {
    const std::uint32_t next = blocks_[spare].next;
    spare_[classOf(blocks_[spare].capacity)].push_back(spare);
    spare = next;
  }
  blocks_[k].next = kNone;
}

void BandedRecords::rehash() {
  std::vector<std::uint32_t> slots(std::max<std::size_t>(1024, 2 * slots_.size()), 0);
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = 0; i < bands_.size(); ++i) {
    std::size_t s = mix(bands_[i].id) & mask;
    while (slots[s] != 0) s = (s + 1) & mask;
    slots[s] = static_cast<std::uint32_t>(i + 1);
  }
  slots_.swap(slots);
}

}  // namespace voxel
}  // namespace korvane_navigation
