// The E57 file beneath its XML and binary sections: byte order, page
// checksums, and the logical byte stream that the checksums interrupt.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "formats/byte_order.h"
#include "formats/e57_reader.h"
#include "formats/file_reading.h"

namespace korvane_navigation {
namespace e57 {

#if defined(__x86_64__)
// `supported` is the processor's answer; setE57ProcessorInstructions can
// still refuse, so that tests can compare against the portable code.
bool processorHas(bool supported);
#endif

inline std::string text(uint64_t value) { return std::to_string(value); }

// The file seen as its logical byte stream: page checksums stripped, each
// page verified when it is first loaded. Holds one block of pages, so
// sequential reads touch the disk once per block.
class PagedFile {
 public:
  using Progress = std::function<void(uint64_t, uint64_t)>;

  PagedFile(int fd, uint64_t page_size, uint64_t file_size, const Progress& progress);

  uint64_t payload() const { return page_size_ - kChecksumSize; }
  uint64_t logicalSize() const { return file_size_ / page_size_ * payload(); }

  // False when `physical` is beyond the file or on a page checksum.
  bool toLogical(uint64_t physical, uint64_t& logical) const {
    if (physical >= file_size_ || physical % page_size_ >= payload()) return false;
    logical = physical / page_size_ * payload() + physical % page_size_;
    return true;
  }
  uint64_t toPhysical(uint64_t logical) const {
    return logical / payload() * page_size_ + logical % payload();
  }

  // Copies `size` logical bytes to `out`, or, when `out` is null, only makes
  // sure their pages have been verified.
  bool read(uint64_t logical, uint8_t* out, size_t size, std::string& error);

  // Loads and verifies every page of the range at once, so that the reads
  // within it that follow are served from memory.
  bool hold(uint64_t logical, size_t size, std::string& error);

  void reportDone() {
    if (progress_) progress_(file_size_, file_size_);
  }

 private:
  // Loads the block starting at `page`. Pages already in memory from the
  // previous block are moved rather than read and verified again.
  bool load(uint64_t page, std::string& error);

  int fd_;
  uint64_t page_size_;
  uint64_t file_size_;
  Progress progress_;
  uint64_t block_pages_;
  std::vector<uint8_t> block_;
  uint64_t first_page_ = 0;
  uint64_t loaded_pages_ = 0;
  uint64_t bytes_loaded_ = 0;
};

}  // namespace e57
}  // namespace korvane_navigation
