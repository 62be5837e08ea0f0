// One Core Audio Format file being written: 32-bit float samples, interleaved, at the rate
// and channel count it was created with. The object owns the libsndfile handle; destroying
// it completes the file's header and closes it. Used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct sf_private_tag;

namespace velmaris::probe {

class CafFile {
 public:
  // The file at `path`, created (or truncated) for writing; nothing when it cannot be.
  static std::unique_ptr<CafFile> create(const std::string& path, double sampleRate,
                                         std::uint32_t channels);
  ~CafFile();

  CafFile(const CafFile&) = delete;
  CafFile& operator=(const CafFile&) = delete;

  // Appends `frames` interleaved frames; false unless all of them were written.
  bool append(const float* interleaved, std::int64_t frames);

 private:
  explicit CafFile(sf_private_tag* handle) : handle_(handle) {}
  sf_private_tag* handle_;
};

}  // namespace velmaris::probe
