#include "tests/support/engines.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <fstream>
#include <set>

namespace ov::test {

using nlohmann::json;

namespace {

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  for (std::size_t at = 1; at <= path.size();) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

bool nameMatches(const TreeEntry& e, const std::string& wanted, Names names) {
  const std::string shown = utf16ToUtf8(e.name);
  return names == Names::Exact ? shown == wanted : fatNameMatches(shown, wanted, e.isLive(), names == Names::FatAnyCase);
}

}  // namespace

Tree::Tree(RecoveryEngine& engine) {
  auto top = engine.topFolder();
  if (!top) return;
  if (top->isRoot) {
    walk(engine, *top, -1, 0);  // FAT: the top is the root
    return;
  }
  for (const TreeEntry& e : engine.listFolder(*top)) {
    if (e.isRoot) {
      walk(engine, e, -1, 0);
    } else {
      nodes_.push_back({e, -1});
      if (e.isFolder()) walk(engine, e, static_cast<long>(nodes_.size() - 1), 1);
    }
  }
}

void Tree::walk(RecoveryEngine& engine, const TreeEntry& folder, long parent, int depth) {
  if (depth > 10000) {
    ADD_FAILURE() << "the tree is deeper than any test volume";
    return;
  }
  for (const TreeEntry& e : engine.listFolder(folder)) {
    nodes_.push_back({e, parent});
    if (e.isFolder()) walk(engine, e, static_cast<long>(nodes_.size() - 1), depth + 1);
  }
}

bool Tree::reaches(const Node& n, const std::vector<std::string>& parts, Names names) const {
  const Node* at = &n;
  std::size_t i = parts.size();
  while (i > 0 && at && nameMatches(at->entry, parts[i - 1], names)) {
    at = at->parent < 0 ? nullptr : &nodes_[static_cast<std::size_t>(at->parent)];
    --i;
  }
  return i == 0 && !at;
}

const TreeEntry* Tree::find(const std::string& path, bool live, bool folder, Names names) const& {
  const auto parts = split(path);
  for (const Node& n : nodes_)
    if (n.entry.isLive() == live && n.entry.isFolder() == folder && reaches(n, parts, names)) return &n.entry;
  return nullptr;
}

std::size_t Tree::count(const std::string& path) const {
  const auto parts = split(path);
  return static_cast<std::size_t>(
      std::count_if(nodes_.begin(), nodes_.end(), [&](const Node& n) { return reaches(n, parts, Names::Exact); }));
}

std::vector<std::uint8_t> saveEntry(RecoveryEngine& engine, RunControl& run, const TreeEntry& e) {
  static std::atomic<int> counter{0};
  const auto path = scratchDir() / ("saved-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  run.start();
  const FileDataSaved outcome = engine.saveFileData(e, fd, nullptr, nullptr);
  run.stop();
  ::close(fd);
  EXPECT_TRUE(outcome.ok) << utf16ToUtf8(e.name);
  auto bytes = readFile(path);
  std::filesystem::remove(path);
  return bytes;
}

int checkAgainstManifest(RecoveryEngine& engine, RunControl& run, const Tree& tree, const json& manifest,
                         const json& partition, const ManifestCheck& how) {
  const bool fat = engine.texts().fileSystem == "FAT";
  std::set<const TreeEntry*> seen;
  int listed = 0;
  for (const auto& f : manifest["files"]) {
    if (f["partition"] != partition["index"] || hasFlag(f, "record_reused") || hasFlag(f, "name_lost")) continue;
    const std::string path = f["path"];
    const bool live = f["state"] == "live", folder = f["type"] == "folder";
    if (how.liveOnly && !live) continue;
    SCOPED_TRACE(path + (live ? " (live)" : " (deleted)"));
    const TreeEntry* e = tree.find(path, live, folder, how.names);
    if (hasFlag(f, "parent_reused")) {
      // Its folder's record now holds a file: it is listed under "#N", N the old folder's record.
      EXPECT_EQ(e, nullptr);
      e = tree.find("/#" + std::to_string(f["parent_record"].get<std::uint32_t>()) + path.substr(path.rfind('/')),
                    live, folder, how.names);
    }
    if (!e && hasFlag(f, "hard_link")) {
      // One record, many names: it is listed once, under one of them.
      for (const auto& g : manifest["files"])
        if (!e && hasFlag(g, "hard_link")) e = tree.find(g["path"], live, false, how.names);
    }
    // A deleted entry whose clusters were taken may have lost its directory slot as well.
    if (!e && !live && hasFlag(f, "overwritten")) continue;
    if (!e) {
      ADD_FAILURE() << "not listed";
      continue;
    }
    ++listed;
    if (!hasFlag(f, "hard_link")) {
      EXPECT_TRUE(seen.insert(e).second) << "listed for another entry too";
    }
    if (fat && f.contains("first_cluster")) {
      EXPECT_EQ(e->number, f["first_cluster"].get<std::uint32_t>());
    }
    if (folder) continue;
    EXPECT_EQ(e->size, f["size"].get<std::uint64_t>());
    if (how.damageFlags) {
      EXPECT_EQ(e->possiblyDamaged(), !live && hasFlag(f, "fragmented")) << e->damageNote;
    }
    EXPECT_EQ(!e->streamName.empty(), hasFlag(f, "stream"));
    if (!e->streamName.empty()) {
      EXPECT_EQ(utf16ToUtf8(e->streamName), path.substr(path.rfind(':') + 1));
    }
    if (hasFlag(f, "overwritten") || (fat && !live && hasFlag(f, "fragmented"))) continue;
    const std::string sha = f["sha256"];
    EXPECT_EQ(sha256Hex(saveEntry(engine, run, *e)), sha);
    if (hasFlag(f, "valid_length")) {
      // The preview shows zeros past the valid data length too.
      auto preview = engine.loadPreview(*e);
      EXPECT_TRUE(preview && sha256Hex(*preview) == sha);
    }
  }
  return listed;
}

}  // namespace ov::test
