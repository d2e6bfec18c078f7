#include "formats/e57_pages.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvane_navigation {
namespace e57 {
namespace {

constexpr size_t kSmallestPageSize = 64;  // the header and a little more must fit page 0
constexpr uint64_t kLargestPageSize = uint64_t{1} << 24;
constexpr size_t kReadBlockBytes = size_t{2} << 20;

struct Crc32cTables {
  uint32_t table[8][256];
  Crc32cTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t crc = i;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
      table[0][i] = crc;
    }
    for (int k = 1; k < 8; ++k)
      for (uint32_t i = 0; i < 256; ++i)
        table[k][i] = (table[k - 1][i] >> 8) ^ table[0][table[k - 1][i] & 0xFF];
  }
};

std::atomic<bool> processor_instructions_allowed{true};

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const uint8_t* data, size_t size) {
  uint64_t wide = crc;
  for (; size >= 8; data += 8, size -= 8) wide = __builtin_ia32_crc32di(wide, loadU64(data));
  crc = static_cast<uint32_t>(wide);
  for (; size > 0; ++data, --size) crc = __builtin_ia32_crc32qi(crc, *data);
  return crc;
}
#endif

}  // namespace

#if defined(__x86_64__)
bool processorHas(bool supported) {
  return supported && processor_instructions_allowed.load(std::memory_order_relaxed);
}
#endif

PagedFile::PagedFile(int fd, uint64_t page_size, uint64_t file_size, const Progress& progress)
    : fd_(fd), page_size_(page_size), file_size_(file_size), progress_(progress),
      // Room for the pages of the longest packet wherever it starts, so that
      // holding a whole packet never means loading a block twice.
      block_pages_(std::max<uint64_t>(kReadBlockBytes / page_size, kLargestPacket / payload() + 2)) {}

bool PagedFile::read(uint64_t logical, uint8_t* out, size_t size, std::string& error) {
  if (logical > logicalSize() || size > logicalSize() - logical) {
    error = "read beyond the end of the file at offset " + text(toPhysical(logical));
    return false;
  }
  while (size > 0) {
    const uint64_t page = logical / payload();
    if (page < first_page_ || page >= first_page_ + loaded_pages_) {
      if (!load(page, error)) return false;
    }
    const uint64_t in_page = logical % payload();
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, payload() - in_page));
    if (out != nullptr) {
      std::memcpy(out, &block_[(page - first_page_) * page_size_ + in_page], piece);
      out += piece;
    }
    size -= piece;
    logical += piece;
  }
  return true;
}

bool PagedFile::hold(uint64_t logical, size_t size, std::string& error) {
  if (size == 0 || logical > logicalSize() || size > logicalSize() - logical)
    return read(logical, nullptr, size, error);
  const uint64_t first = logical / payload(), last = (logical + size - 1) / payload();
  if (first >= first_page_ && last < first_page_ + loaded_pages_) return true;
  if (last - first >= block_pages_) return read(logical, nullptr, size, error);
  return load(first, error);
}

bool PagedFile::load(uint64_t page, std::string& error) {
  const uint64_t pages = std::min(block_pages_, file_size_ / page_size_ - page);
  uint64_t kept = 0;
  if (page >= first_page_ && page < first_page_ + loaded_pages_) {
    kept = std::min(pages, first_page_ + loaded_pages_ - page);
    std::memmove(block_.data(), &block_[(page - first_page_) * page_size_], static_cast<size_t>(kept * page_size_));
  }
  loaded_pages_ = 0;
  if (block_.size() < pages * page_size_) block_.resize(static_cast<size_t>(pages * page_size_));
  const size_t wanted = static_cast<size_t>((pages - kept) * page_size_);
  const ssize_t got = readAt(fd_, &block_[kept * page_size_], wanted, (page + kept) * page_size_);
  if (got < 0) {
    error = std::string("read error: ") + std::strerror(errno);
    return false;
  }
  if (static_cast<size_t>(got) != wanted) {
    error = "file shrank while being read";
    return false;
  }
  for (uint64_t i = kept; i < pages; ++i) {
    const uint8_t* bytes = &block_[i * page_size_];
    const uint32_t stored = loadU32BigEndian(bytes + payload());
    const uint32_t computed = crc32c(bytes, payload());
    if (stored != computed) {
      char detail[64];
      std::snprintf(detail, sizeof detail, "stored 0x%08x, computed 0x%08x", stored, computed);
      error = "checksum mismatch on page " + text(page + i) + " (bytes " + text((page + i) * page_size_) +
              ".." + text((page + i + 1) * page_size_ - 1) + ", " + detail + ")";
      return false;
    }
  }
  first_page_ = page;
  loaded_pages_ = pages;
  bytes_loaded_ += wanted;
  if (progress_) progress_(std::min(bytes_loaded_, file_size_), file_size_);
  return true;
}

}  // namespace e57

using namespace e57;

uint32_t crc32c(const uint8_t* data, size_t size) {
#if defined(__x86_64__)
  // The instruction computes this very polynomial, several times faster than tables.
  if (processorHas(__builtin_cpu_supports("sse4.2"))) return ~crc32cHardware(0xFFFFFFFFu, data, size);
#endif
  return crc32cPortable(data, size);
}

void setE57ProcessorInstructions(bool allowed) { processor_instructions_allowed = allowed; }

uint32_t crc32cPortable(const uint8_t* data, size_t size) {
  static const Crc32cTables tables;
  const auto& t = tables.table;
  uint32_t crc = 0xFFFFFFFFu;
  while (size >= 8) {
    const uint32_t low = crc ^ loadU32(data);
    const uint32_t high = loadU32(data + 4);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool parseE57Header(const uint8_t* data, size_t size, uint64_t file_size, E57Header& header,
                    std::string& error) {
  if (size < 8 || std::memcmp(data, "ASTM-E57", 8) != 0) {
    error = "not an E57 file (no ASTM-E57 signature)";
    return false;
  }
  if (size < kFileHeaderSize) {
    error = "file shorter than the E57 header (" + text(size) + " bytes)";
    return false;
  }
  E57Header parsed;
  parsed.version_major = loadU32(data + 8);
  parsed.version_minor = loadU32(data + 12);
  parsed.physical_length = loadU64(data + 16);
  parsed.xml_physical_offset = loadU64(data + 24);
  parsed.xml_logical_length = loadU64(data + 32);
  parsed.page_size = loadU64(data + 40);
  if (parsed.version_major != 1) {
    error = "unsupported E57 version " + text(parsed.version_major) + "." + text(parsed.version_minor);
    return false;
  }
  if (parsed.page_size < kSmallestPageSize || parsed.page_size > kLargestPageSize || parsed.page_size % 4 != 0) {
    error = "unsupported page size " + text(parsed.page_size);
    return false;
  }
  if (parsed.physical_length != file_size) {
    error = "file is " + text(file_size) + " bytes but its header declares " + text(parsed.physical_length) +
            " (cut or padded)";
    return false;
  }
  if (file_size % parsed.page_size != 0) {
    error = "file length " + text(file_size) + " is not a whole number of " + text(parsed.page_size) +
            "-byte pages";
    return false;
  }
  const uint64_t payload = parsed.page_size - kChecksumSize;
  const uint64_t offset = parsed.xml_physical_offset;
  const uint64_t logical_size = file_size / parsed.page_size * payload;
  const bool offset_usable = offset < file_size && offset % parsed.page_size < payload;
  const uint64_t logical_offset = offset / parsed.page_size * payload + offset % parsed.page_size;
  if (!offset_usable || parsed.xml_logical_length == 0 || parsed.xml_logical_length > logical_size - logical_offset) {
    error = "XML section (offset " + text(offset) + ", " + text(parsed.xml_logical_length) +
            " bytes) does not fit the file";
    return false;
  }
  header = parsed;
  return true;
}

}  // namespace korvane_navigation
