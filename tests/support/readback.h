// Reading back what the programs wrote, for unit and integration tests alike: Base64 text,
// JPEG images, CAF files and observed trees, and a scratch directory for them to write in.
// Header-only: a test binary links only the libraries of the readers it calls.
#pragma once

#include <openssl/evp.h>
#include <sndfile.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmaris::testing {

inline std::string fromBase64(const std::string& text) {
  std::string out(text.size() / 4 * 3 + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0) return {};
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  out.resize(std::size_t(n) - padding);
  return out;
}

struct Colour {
  int r, g, b;
};

// Each channel less than `within` from the other colour's.
inline bool near(const Colour& a, const Colour& b, int within) {
  return std::abs(a.r - b.r) < within && std::abs(a.g - b.g) < within && std::abs(a.b - b.b) < within;
}

// A decoded image, RGB; empty when the bytes are no JPEG.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;
  Colour at(int x, int y) const {
    const std::size_t i = (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

inline Picture decodeJPEG(const std::string& jpeg) {
  Picture p;
  tjhandle h = tjInitDecompress();
  int subsampling = 0, colourspace = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
  if (tjDecompressHeader3(h, bytes, jpeg.size(), &p.width, &p.height, &subsampling, &colourspace) == 0) {
    p.rgb.resize(std::size_t(p.width) * std::size_t(p.height) * 3);
    if (tjDecompress2(h, bytes, jpeg.size(), p.rgb.data(), p.width, 0, p.height, TJPF_RGB, 0) != 0)
      p = Picture{};
  }
  tjDestroy(h);
  return p;
}

// A fresh directory, removed with all it holds when the test is done.
struct TemporaryDirectory {
  std::string path;
  TemporaryDirectory() {
    char pattern[] = "/tmp/velmaris-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~TemporaryDirectory() { std::filesystem::remove_all(path); }
};

struct CafContents {
  bool opened = false;
  SF_INFO info{};
  std::vector<float> samples;  // interleaved
};

inline CafContents readCaf(const std::string& path) {
  CafContents contents;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &contents.info);
  if (file == nullptr) return contents;
  contents.opened = true;
  contents.samples.resize(static_cast<std::size_t>(contents.info.frames * contents.info.channels));
  sf_readf_float(file, contents.samples.data(), contents.info.frames);
  sf_close(file);
  return contents;
}

// Every node of an observed tree, depth first, with its depth.
inline void eachNode(const nlohmann::json& node,
                     const std::function<void(const nlohmann::json&, int)>& visit, int depth = 0) {
  visit(node, depth);
  for (const auto& child : node["children"]) eachNode(child, visit, depth + 1);
}

// The first node, depth first, whose `key` is `value`; null when there is none.
inline const nlohmann::json* findNode(const nlohmann::json& tree, const char* key,
                                      const nlohmann::json& value) {
  const nlohmann::json* found = nullptr;
  eachNode(tree, [&](const nlohmann::json& node, int) {
    if (!found && node.contains(key) && node[key] == value) found = &node;
  });
  return found;
}

inline int nodeCount(const nlohmann::json& tree) {
  int n = 0;
  eachNode(tree, [&](const nlohmann::json&, int) { ++n; });
  return n;
}

}  // namespace velmaris::testing
