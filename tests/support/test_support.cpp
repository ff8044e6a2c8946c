#include "tests/support/test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

namespace ov::test {
namespace fs = std::filesystem;

namespace {

struct Scratch {
  fs::path path;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "ovtest-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder");
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

std::string quoted(const fs::path& p) {
  std::string out = "'";
  for (char c : p.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

fs::path scratchDir() {
  static Scratch scratch;
  return scratch.path;
}

fs::path dataDir() { return fs::path(OV_TEST_DATA_DIR); }

std::optional<fs::path> sharedTestdataDir() {
  fs::path dir = fs::path(OV_SOURCE_DIR) / ".." / "shared" / "testdata";
  if (fs::is_directory(dir)) return fs::canonical(dir);
  return std::nullopt;
}

fs::path image(const std::string& name) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  // Decompressed images are shared by every test process of a build: ctest runs each test on
  // its own, and decompressing the same image hundreds of times dominated the run. The cache
  // name carries the compressed file's size, so a rebuilt image is decompressed again.
  fs::path xz = dataDir() / (name + ".img.xz");
  fs::path cache = fs::path(OV_TEST_CACHE_DIR);
  std::error_code ec;
  fs::create_directories(cache, ec);
  fs::path out = cache / (name + "-" + std::to_string(fs::file_size(xz)) + ".img");
  if (!fs::exists(out)) {
    fs::path partial = out.string() + "." + std::to_string(::getpid()) + ".partial";
    run("xz -dc " + quoted(xz) + " > " + quoted(partial));
    fs::rename(partial, out);  // atomic: other processes see all of it or nothing
  }
  return out;
}

fs::path gunzipped(const fs::path& gz) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  fs::path out = scratchDir() / gz.stem();
  if (!fs::exists(out)) run("gzip -dc " + quoted(gz) + " > " + quoted(out));
  return out;
}

nlohmann::json manifest(const std::string& name) {
  std::ifstream in(dataDir() / (name + ".manifest.json"));
  if (!in) throw std::runtime_error("missing manifest " + name);
  return nlohmann::json::parse(in);
}

std::vector<std::uint8_t> readFile(const fs::path& path) {
  // One read of the whole file: byte by byte, a 40 MB image took seconds in unoptimised builds.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

}  // namespace ov::test

#include <openssl/evp.h>

namespace ov::test {

std::string sha256Hex(const std::vector<std::uint8_t>& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace ov::test
