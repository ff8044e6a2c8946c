#include "tests/support/test_support.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>

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

// `tool -dc source > out` once per test process; `out`.
fs::path unpackedOnce(const char* tool, const fs::path& source, const fs::path& out) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (!fs::exists(out)) run(std::string(tool) + " -dc " + quoted(source) + " > " + quoted(out));
  return out;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// A name an 8.3 entry holds alone (no long name): at most 8 + 3 characters, each part in one case.
bool shortNameOnly(const std::string& name) {
  const std::size_t dot = name.find('.');
  const std::string base = name.substr(0, dot), ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
  for (const std::string& part : {base, ext}) {
    bool lower = false, upper = false;
    for (char c : part) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '~' && c != '-') return false;
      lower = lower || std::islower(static_cast<unsigned char>(c));
      upper = upper || std::isupper(static_cast<unsigned char>(c));
    }
    if (lower && upper) return false;
  }
  return true;
}

}  // namespace

bool fatNameMatches(const std::string& shown, const std::string& wanted, bool live, bool anyCase) {
  if (shown == wanted || (anyCase && equalIgnoringCase(shown, wanted))) return true;
  if (live || shown.size() != wanted.size() || shown.empty() || shown[0] != 'X') return false;
  const std::string_view rest(shown.data() + 1, shown.size() - 1), wantedRest(wanted.data() + 1, wanted.size() - 1);
  return anyCase ? equalIgnoringCase(rest, wantedRest) : rest == wantedRest && shortNameOnly(wanted);
}

fs::path scratchDir() {
  static Scratch scratch;
  return scratch.path;
}

fs::path freshDir(const std::string& name) {
  fs::path dir = scratchDir() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::set<std::string> filesUnder(const fs::path& dir) {
  std::set<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.insert(fs::relative(e.path(), dir).generic_string());
  return out;
}

std::map<std::string, std::string> fileHashesUnder(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const std::string& path : filesUnder(dir)) out[path] = sha256Hex(readFile(dir / path));
  return out;
}

fs::path writeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

fs::path carvingImage() { return unpackedOnce("xz", dataDir() / "carving" / "carving.img.xz", scratchDir() / "carving.img"); }

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

fs::path container(const std::string& name, const std::string& folder) {
  fs::create_directories(scratchDir() / folder);
  return unpackedOnce("xz", dataDir() / "containers" / (name + ".xz"), scratchDir() / folder / name);
}

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

fs::path gunzipped(const fs::path& gz) { return unpackedOnce("gzip", gz, scratchDir() / gz.stem()); }

nlohmann::json manifest(const std::string& name) {
  std::ifstream in(dataDir() / (name + ".manifest.json"));
  if (!in) throw std::runtime_error("missing manifest " + name);
  return nlohmann::json::parse(in);
}

bool hasFlag(const nlohmann::json& file, const char* flag) {
  for (const auto& x : file.value("flags", nlohmann::json::array()))
    if (x == flag) return true;
  return false;
}

std::vector<nlohmann::json> partitionsOf(const nlohmann::json& manifest, std::initializer_list<const char*> fileSystems) {
  std::vector<nlohmann::json> out;
  for (const auto& p : manifest["partitions"])
    for (const char* fs : fileSystems)
      if (p["fs"] == fs) out.push_back(p);
  return out;
}

std::uint64_t serialOf(const nlohmann::json& partition) { return std::stoull(partition["serial"].get<std::string>(), nullptr, 16); }

std::map<std::string, nlohmann::json> manifestFiles(const std::string& name, int partition) {
  std::map<std::string, nlohmann::json> out;
  const nlohmann::json m = manifest(name);
  for (const auto& f : m["files"])
    if (f["partition"] == partition && f["type"] == "file") out[f["path"]] = f;
  return out;
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
