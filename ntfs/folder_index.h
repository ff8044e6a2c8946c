// The folders of a volume under reconstruction, looked up by MFT record number.
//
// A balanced (AVL) search tree whose nodes live in one vector and refer to each other by
// 32-bit indices: a volume can hold hundreds of thousands of folders, and pointers would
// double the size of every node. The shape of the tree matters beyond look-ups: the folders
// known only as somebody's parent are created in preorder, so the rotations are the
// standard AVL ones and equal keys go to the left.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace ov::ntfs {

inline constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;

struct FolderNode {
  std::uint32_t entryIndex = 0;     // the folder's own entry in the entries file
  std::uint32_t key = 0;            // MFT record number
  std::uint32_t childrenBlock = 0;  // first block of its children in the tree file
  std::uint32_t parent = kNoNode;
  std::uint32_t left = kNoNode;
  std::uint32_t right = kNoNode;
  std::uint8_t placeholder = 0;     // 1 = known only as the parent of something found
  std::int8_t balance = 0;          // height(right) - height(left): -1, 0 or +1
};

class FolderIndex {
 public:
  void clear();
  void reserve(std::size_t count) { nodes_.reserve(count); }

  // The first node met with this key on the way down, or nullopt.
  std::optional<std::uint32_t> find(std::uint32_t key) const;
  // Always adds a node (a key already present gets another one, to the left) and rebalances;
  // the other fields of the new node are left for the caller.
  std::uint32_t insert(std::uint32_t key);

  FolderNode& node(std::uint32_t index) { return nodes_[index]; }
  const FolderNode& node(std::uint32_t index) const { return nodes_[index]; }
  std::uint32_t root() const { return root_; }
  std::uint32_t size() const { return static_cast<std::uint32_t>(nodes_.size()); }

  // Each node before its left subtree, then its right subtree. Without recursion; the callback
  // may change the nodes' payload fields but not insert.
  void preorder(const std::function<void(std::uint32_t index)>& visit) const;

 private:
  void rotateLeft(std::uint32_t x);
  void rotateRight(std::uint32_t x);
  void replaceChild(std::uint32_t parent, std::uint32_t from, std::uint32_t to);

  std::vector<FolderNode> nodes_;
  std::uint32_t root_ = kNoNode;
};

}  // namespace ov::ntfs
