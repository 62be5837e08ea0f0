// CAF writing through libsndfile. libsndfile keeps a file's rate as a whole number of
// hertz, so a fractional rate is stored rounded; the samples themselves are kept exactly.
#include "probe/caf_file.h"

#include <sndfile.h>

#include <climits>
#include <cmath>

namespace velmaris::probe {

std::unique_ptr<CafFile> CafFile::create(const std::string& path, double sampleRate,
                                         std::uint32_t channels) {
  const double rounded = std::round(sampleRate);
  if (!(rounded >= 1 && rounded <= INT_MAX) || channels == 0 || channels > INT_MAX) return nullptr;
  SF_INFO info{};
  info.samplerate = static_cast<int>(rounded);
  info.channels = static_cast<int>(channels);
  info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT;
  SNDFILE* handle = sf_open(path.c_str(), SFM_WRITE, &info);
  if (handle == nullptr) return nullptr;
  return std::unique_ptr<CafFile>(new CafFile(handle));
}

CafFile::~CafFile() { sf_close(handle_); }

bool CafFile::append(const float* interleaved, std::int64_t frames) {
  return sf_writef_float(handle_, interleaved, frames) == frames;
}

}  // namespace velmaris::probe
