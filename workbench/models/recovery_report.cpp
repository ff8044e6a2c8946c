#include "workbench/models/recovery_report.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <variant>
#include <cerrno>
#include <ctime>
#include <memory>

#include "disk/backend.h"
#include "disk/sector_source.h"
#include "disk/byte_io.h"

namespace ov {

std::string isoTime(const FileTime& t, bool utc) {
  if (!t.known) return {};
  std::tm tm{};
  const std::time_t seconds = static_cast<std::time_t>(t.seconds);
  if (!gmtime_r(&seconds, &tm)) return {};
  char text[64];
  if (t.dateOnly) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return text;
  }
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string out = text;
  if (utc) {
    std::snprintf(text, sizeof text, ".%07u", t.nanoseconds / 100);
    out += text;
    out += "Z";
  } else if (t.nanoseconds != 0) {
    std::snprintf(text, sizeof text, ".%02u", t.nanoseconds / 10000000);
    out += text;
  }
  return out;
}

nlohmann::json timeJson(const FileTime& t, bool utc) {
  std::string text = isoTime(t, utc);
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

nlohmann::json dateOfJson(const FileTime& t) {
  std::string text = isoTime(t, true);
  return text.size() < 10 ? nlohmann::json(nullptr) : nlohmann::json(text.substr(0, 10));
}

std::string recoverabilityText(Recoverability r) {
  switch (r) {
    case Recoverability::Good: return "good";
    case Recoverability::PartlyOverwritten: return "partly overwritten";
    case Recoverability::Overwritten: return "overwritten";
    default: return {};
  }
}

namespace {

std::string xmlText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // XML 1.0 allows no control characters but tab, line feed and carriage return.
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out;
}

std::string nowUtc() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

nlohmann::json timesJson(const FileTimes& t) {
  nlohmann::json out = {{"created", timeJson(t.created, t.utc)},
                        {"modified", timeJson(t.modified, t.utc)},
                        {"accessed", timeJson(t.accessed, t.utc)},
                        {"changed", timeJson(t.changed, t.utc)}};
  return out;
}

}  // namespace

const char* programVersion() { return OV_VERSION; }

ReportSource reportSource(SectorSource& source) {
  return ReportSource{source.path(), source.totalSectors() * source.bytesPerSector(), source.bytesPerSector(), {}};
}

ReportVolume reportVolume(const VolumeRow& row, std::uint32_t bytesPerSector) {
  ReportVolume volume;
  volume.name = row.name;
  volume.fileSystem = row.fileSystem;
  for (auto& c : volume.fileSystem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  volume.offset = row.startSector * bytesPerSector;
  for (const auto& [key, value] : row.facts)
    if (key == "bytes_per_cluster" && std::holds_alternative<std::uint64_t>(value))
      volume.clusterBytes = static_cast<std::uint32_t>(std::get<std::uint64_t>(value));
  return volume;
}

ReportedFile reportedFile(const std::vector<std::u16string>& folders, const TreeEntry& entry, FileLayout layout) {
  ReportedFile r;
  for (const auto& part : folders) r.originalPath += "/" + utf16ToUtf8(part);
  r.originalPath += "/" + utf16ToUtf8(entry.name);
  r.number = entry.number;
  r.live = entry.isLive();
  r.size = entry.size;
  r.times = entry.times;
  r.layout = std::move(layout);
  r.state = "not tried";
  return r;
}

void recordSaveOutcome(ReportedFile& r, const FileSaveOutcome& outcome) {
  static const char* const kStates[] = {"whole", "unreadable sectors (zeros)", "partial", "failed", "interrupted"};
  r.state = kStates[static_cast<int>(outcome.state)];
  r.savedPath = outcome.keptPath;
  r.written = outcome.written;
  r.note = outcome.note;
  r.skippedSectors = outcome.skippedSectors;
  if (!outcome.keptName.empty() && outcome.folderFd >= 0) {
    int fd = ::openat(outcome.folderFd, outcome.keptName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
      r.sha256 = sha256OfFile(fd);
      ::close(fd);
    }
  }
}

namespace {

// Feeds `read(buffer, at)` (bytes read, 0 at the end, -1 on failure) through SHA-256.
template <typename Read>
std::string sha256Of(Read read) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return {};
  std::vector<unsigned char> buffer(1 << 20);
  std::uint64_t at = 0;
  for (;;) {
    const long long n = read(buffer, at);
    if (n < 0) return {};
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n));
    at += static_cast<std::uint64_t>(n);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return {};
  std::string hex;
  char two[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

}  // namespace

std::string sha256OfFile(int fd) {
  return sha256Of([fd](std::vector<unsigned char>& buffer, std::uint64_t at) -> long long {
    for (;;) {
      ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  });
}

std::string sha256OfSource(SectorSource& source) {
  ReadBackend* backend = source.backend();
  const std::uint64_t total = source.totalSectors() * source.bytesPerSector();
  if (!backend) return {};
  return sha256Of([&](std::vector<unsigned char>& buffer, std::uint64_t at) -> long long {
    if (at >= total) return 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), total - at));
    std::size_t got = 0;
    if (backend->readAt(at, buffer.data(), want, got) != 0 || got != want) return -1;
    return static_cast<long long>(got);
  });
}

std::optional<RecoveryReport> RecoveryReport::create(const std::string& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "we");
  if (!file) {
    error = systemErrorText(errno);
    return std::nullopt;
  }
  const bool xml = path.size() >= 4 && (path.compare(path.size() - 4, 4, ".xml") == 0 ||
                                        path.compare(path.size() - 4, 4, ".XML") == 0);
  return RecoveryReport(file, xml);
}

RecoveryReport::RecoveryReport(RecoveryReport&& other) noexcept
    : file_(other.file_), xml_(other.xml_), volumeOpen_(other.volumeOpen_) {
  other.file_ = nullptr;
}

RecoveryReport& RecoveryReport::operator=(RecoveryReport&& other) noexcept {
  if (this != &other) {
    if (file_) std::fclose(file_);
    file_ = other.file_;
    xml_ = other.xml_;
    volumeOpen_ = other.volumeOpen_;
    other.file_ = nullptr;
  }
  return *this;
}

RecoveryReport::~RecoveryReport() {
  if (file_) std::fclose(file_);
}

void RecoveryReport::begin(const ReportSource& source, const ReportVolume& volume, const std::string& command) {
  if (!xml_) {
    nlohmann::json head = {{"type", "source"},
                           {"program", "ovrecover"},
                           {"version", programVersion()},
                           {"command", command},
                           {"start_time", nowUtc()},
                           {"source", {{"path", source.path}, {"bytes", source.bytes}, {"sector_size", source.sectorSize}}},
                           {"volume",
                            {{"fs", volume.fileSystem},
                             {"name", volume.name},
                             {"offset", volume.offset},
                             {"cluster_bytes", volume.clusterBytes}}}};
    if (!source.sha256.empty()) head["source"]["sha256"] = source.sha256;
    std::fprintf(file_, "%s\n", head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  std::fprintf(file_,
               "<?xml version='1.0' encoding='UTF-8'?>\n"
               "<dfxml xmloutputversion='1.0' xmlns='http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML'"
               " xmlns:dc='http://purl.org/dc/elements/1.1/' xmlns:ov='urn:x-ovrecover:report'>\n"
               "  <metadata>\n    <dc:type>Recovery report</dc:type>\n  </metadata>\n"
               "  <creator version='1.0'>\n    <program>ovrecover</program>\n    <version>%s</version>\n"
               "    <execution_environment>\n      <command_line>%s</command_line>\n"
               "      <start_time>%s</start_time>\n    </execution_environment>\n  </creator>\n"
               "  <source>\n    <image_filename>%s</image_filename>\n    <image_size>%llu</image_size>\n"
               "    <sectorsize>%u</sectorsize>\n",
               programVersion(), xmlText(command).c_str(), nowUtc().c_str(), xmlText(source.path).c_str(),
               static_cast<unsigned long long>(source.bytes), source.sectorSize);
  if (!source.sha256.empty()) std::fprintf(file_, "    <hashdigest type='sha256'>%s</hashdigest>\n", source.sha256.c_str());
  std::fprintf(file_,
               "  </source>\n  <volume offset='%llu'>\n    <partition_offset>%llu</partition_offset>\n"
               "    <block_size>%u</block_size>\n    <ftype_str>%s</ftype_str>\n    <ov:name>%s</ov:name>\n",
               static_cast<unsigned long long>(volume.offset), static_cast<unsigned long long>(volume.offset),
               volume.clusterBytes, xmlText(volume.fileSystem).c_str(), xmlText(volume.name).c_str());
  volumeOpen_ = true;
}

void RecoveryReport::add(const ReportedFile& f) {
  const std::string verdict = recoverabilityText(f.layout.verdict);
  if (!xml_ && f.carved) {
    nlohmann::json line = {{"type", "file"},         {"carved", true},         {"saved_path", f.savedPath},
                           {"size", f.size},         {"written", f.written},   {"state", f.state},
                           {"sha256", f.sha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(f.sha256)}};
    auto runs = nlohmann::json::array();
    for (const ByteRun& r : f.layout.runs)
      runs.push_back({{"file_offset", r.fileOffset}, {"disk_offset", r.diskOffset}, {"length", r.length}});
    line["byte_runs"] = runs;
    std::fprintf(file_, "%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  if (!xml_) {
    nlohmann::json line = {{"type", "file"},
                           {"saved_path", f.savedPath.empty() ? nlohmann::json(nullptr) : nlohmann::json(f.savedPath)},
                           {"original_path", f.originalPath},
                           {"record", f.number},
                           {"live", f.live},
                           {"size", f.size},
                           {"written", f.written},
                           {"state", f.state},
                           {"times", timesJson(f.times)},
                           {"sha256", f.sha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(f.sha256)}};
    auto runs = nlohmann::json::array();
    for (const ByteRun& r : f.layout.runs) {
      nlohmann::json run = {{"file_offset", r.fileOffset}, {"length", r.length}};
      if (r.sparse) run["sparse"] = true;
      else run["disk_offset"] = r.diskOffset;
      runs.push_back(run);
    }
    line["byte_runs"] = runs;
    if (f.layout.resident) line["resident"] = true;
    if (!f.live) line["recoverable"] = verdict.empty() ? nlohmann::json(nullptr) : nlohmann::json(verdict);
    if (f.skippedSectors) line["unreadable_sectors"] = f.skippedSectors;
    if (!f.note.empty()) line["note"] = f.note;
    std::fprintf(file_, "%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  std::fprintf(file_, "    <fileobject>\n      <filename>%s</filename>\n      <filesize>%llu</filesize>\n",
               xmlText(f.carved ? f.savedPath : f.originalPath).c_str(), static_cast<unsigned long long>(f.size));
  if (!f.carved)
    std::fprintf(file_, "      <%s>1</%s>\n      <inode>%u</inode>\n", f.live ? "alloc" : "unalloc",
                 f.live ? "alloc" : "unalloc", f.number);
  auto time = [&](const char* tag, const FileTime& t) {
    std::string text = isoTime(t, f.times.utc);
    if (!text.empty()) std::fprintf(file_, "      <%s>%s</%s>\n", tag, text.c_str(), tag);
  };
  time("mtime", f.times.modified);
  time("ctime", f.times.changed);
  time("atime", f.times.accessed);
  time("crtime", f.times.created);
  if (!f.layout.runs.empty()) {
    std::fprintf(file_, "      <byte_runs>\n");
    for (const ByteRun& r : f.layout.runs) {
      if (r.sparse)
        std::fprintf(file_, "        <byte_run file_offset='%llu' fill='0' len='%llu'/>\n",
                     static_cast<unsigned long long>(r.fileOffset), static_cast<unsigned long long>(r.length));
      else
        std::fprintf(file_, "        <byte_run file_offset='%llu' img_offset='%llu' len='%llu'/>\n",
                     static_cast<unsigned long long>(r.fileOffset), static_cast<unsigned long long>(r.diskOffset),
                     static_cast<unsigned long long>(r.length));
    }
    std::fprintf(file_, "      </byte_runs>\n");
  }
  if (!f.sha256.empty()) std::fprintf(file_, "      <hashdigest type='sha256'>%s</hashdigest>\n", f.sha256.c_str());
  std::fprintf(file_, "      <ov:saved_path>%s</ov:saved_path>\n      <ov:state>%s</ov:state>\n      <ov:written>%llu</ov:written>\n",
               xmlText(f.savedPath).c_str(), xmlText(f.state).c_str(), static_cast<unsigned long long>(f.written));
  if (!f.live && !f.carved && !verdict.empty()) std::fprintf(file_, "      <ov:recoverable>%s</ov:recoverable>\n", verdict.c_str());
  if (f.skippedSectors)
    std::fprintf(file_, "      <ov:unreadable_sectors>%llu</ov:unreadable_sectors>\n",
                 static_cast<unsigned long long>(f.skippedSectors));
  if (!f.note.empty()) std::fprintf(file_, "      <ov:note>%s</ov:note>\n", xmlText(f.note).c_str());
  std::fprintf(file_, "    </fileobject>\n");
}

bool RecoveryReport::finish(std::uint64_t saved, std::uint64_t failed) {
  if (!file_) return false;
  if (xml_) {
    if (volumeOpen_) std::fprintf(file_, "  </volume>\n");
    std::fprintf(file_, "  <ov:summary saved='%llu' failed='%llu'/>\n</dfxml>\n", static_cast<unsigned long long>(saved),
                 static_cast<unsigned long long>(failed));
  } else {
    nlohmann::json end = {{"type", "summary"}, {"saved", saved}, {"failed", failed}, {"end_time", nowUtc()}};
    std::fprintf(file_, "%s\n", end.dump().c_str());
  }
  bool ok = std::ferror(file_) == 0;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

}  // namespace ov
