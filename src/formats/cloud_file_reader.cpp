#include "formats/cloud_file_reader.h"

#include <pcl/PCLPointCloud2.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>

#include <cstring>
#include <exception>

namespace korvane_navigation {
namespace {

bool sameIgnoringCase(const std::string& a, char b) { return a.size() == 1 && (a[0] | 0x20) == b; }

// Copies x, y, z of `points` points out of `blob`, as 4- or 8-byte floats.
bool takeCoordinates(const pcl::PCLPointCloud2& blob, uint64_t count, PointVector& points,
                     std::string& error) {
  const pcl::PCLPointField* axes[3] = {};
  for (int a = 0; a < 3; ++a) {
    for (const pcl::PCLPointField& field : blob.fields) {
      if (!sameIgnoringCase(field.name, "xyz"[a])) continue;
      const uint32_t bytes = field.datatype == pcl::PCLPointField::FLOAT64 ? 8 : 4;
      if (axes[a] || (field.datatype != pcl::PCLPointField::FLOAT32 &&
                      field.datatype != pcl::PCLPointField::FLOAT64) ||
          uint64_t{field.offset} + bytes > blob.point_step) {
        error = "PCL's reader returned an unusable " + field.name + " field";
        return false;
      }
      axes[a] = &field;
    }
    if (!axes[a]) {
      error = std::string("PCL's reader returned no ") + "xyz"[a] + " field";
      return false;
    }
  }
  const uint64_t step = blob.point_step;
  if (step == 0 || blob.data.size() / step < count) {
    error = "PCL's reader returned " + std::to_string(step ? blob.data.size() / step : 0) +
            " points of the " + std::to_string(count) + " the header declares";
    return false;
  }
  points.resize(count);
  const uint8_t* data = blob.data.data();
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* point = data + i * step;
    float xyz[3];
    for (int a = 0; a < 3; ++a) {
      const uint8_t* value = point + axes[a]->offset;
      if (axes[a]->datatype == pcl::PCLPointField::FLOAT32) {
        std::memcpy(&xyz[a], value, sizeof(float));
      } else {
        double wide;
        std::memcpy(&wide, value, sizeof(double));
        xyz[a] = static_cast<float>(wide);
      }
    }
    points[i] = pcl::PointXYZ(xyz[0], xyz[1], xyz[2]);
  }
  return true;
}

}  // namespace

bool readCheckedCloud(const std::string& path, CloudFileFormat format, PointVector& points,
                      std::string& error, std::string& warning) {
  points.clear();
  DeclaredCloud declared;
  if (!checkCloudFile(path, format, declared, error)) return false;
  warning = declared.warning;
  // No points leaves the cloud empty: PCL's PCD reader would crash on it.
  if (declared.points == 0) return true;
  pcl::PCLPointCloud2 blob;
  try {
    Eigen::Vector4f origin;
    Eigen::Quaternionf orientation;
    int version = 0;
    // Both readers return 0 on success and a negative code on failure.
    const int status = format == CloudFileFormat::kPcd
                           ? pcl::PCDReader().read(path, blob, origin, orientation, version, 0)
                           : pcl::PLYReader().read(path, blob, origin, orientation, version, 0);
    if (status != 0) {
      error = "PCL's reader could not read the data its header declares";
      return false;
    }
  } catch (const std::exception& e) {
    error = std::string("PCL's reader failed: ") + e.what();
    return false;
  }
  return takeCoordinates(blob, declared.points, points, error);
}

}  // namespace korvane_navigation
