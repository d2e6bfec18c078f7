#include "core/progress.h"

#include <cstdio>
#include <glog/logging.h>

namespace korvane_navigation {

ProgressLog::ProgressLog(std::string what, std::string unit, double interval_seconds)
    : what_(std::move(what)),
      unit_(std::move(unit)),
      interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval_seconds))),
      start_(Clock::now()),
      next_record_(start_ + interval_) {}

double ProgressLog::due(uint64_t total) {
  const Clock::time_point now = Clock::now();
  if (now < next_record_ || total == 0) return -1.0;
  next_record_ = now + interval_;
  ++records_;
  return std::chrono::duration<double>(now - start_).count();
}

namespace {

std::string percent(uint64_t done, uint64_t total) {
  char share[16];
  std::snprintf(share, sizeof share, "%.0f%%", 100.0 * static_cast<double>(done) / static_cast<double>(total));
  return share;
}

}  // namespace

void ProgressLog::update(uint64_t done, uint64_t total) {
  const double seconds = due(total);
  if (seconds < 0) return;
  LOG(INFO) << what_ << ": " << percent(done, total) << " (" << humanCount(static_cast<double>(done)) << " of "
            << humanCount(static_cast<double>(total)) << " " << unit_ << ", "
            << humanCount(static_cast<double>(done) / seconds) << " " << unit_ << "/s)";
}

void ProgressLog::updateReading(uint64_t bytes_done, uint64_t bytes_total, uint64_t items_read,
                                uint64_t items_kept) {
  const double seconds = due(bytes_total);
  if (seconds < 0) return;
  LOG(INFO) << what_ << ": " << percent(bytes_done, bytes_total) << " ("
            << humanCount(static_cast<double>(bytes_done)) << "B of "
            << humanCount(static_cast<double>(bytes_total)) << "B; "
            << humanCount(static_cast<double>(items_read)) << " " << unit_ << " read, "
            << humanCount(static_cast<double>(items_read) / seconds) << " " << unit_ << "/s; "
            << humanCount(static_cast<double>(items_kept)) << " kept)";
}

std::string humanCount(double count) {
  char text[32];
  if (count >= 1e9) {
    std::snprintf(text, sizeof text, "%.2f G", count / 1e9);
  } else if (count >= 1e6) {
    std::snprintf(text, sizeof text, "%.2f M", count / 1e6);
  } else if (count >= 1e4) {
    std::snprintf(text, sizeof text, "%.1f k", count / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f", count);
  }
  return text;
}

}  // namespace korvane_navigation
