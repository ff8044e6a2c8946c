#include "ntfs/folder_index.h"

#include <stdexcept>

namespace ov::ntfs {

// Hundreds of thousands of folders are kept at once; the node must stay this small.
static_assert(sizeof(FolderNode) <= 28);

void FolderIndex::clear() {
  nodes_.clear();
  root_ = kNoNode;
}

std::optional<std::uint32_t> FolderIndex::find(std::uint32_t key) const {
  std::uint32_t i = root_;
  while (i != kNoNode) {
    const FolderNode& n = nodes_[i];
    if (n.key == key) return i;
    i = n.key < key ? n.right : n.left;
  }
  return std::nullopt;
}

void FolderIndex::replaceChild(std::uint32_t parent, std::uint32_t from, std::uint32_t to) {
  if (parent == kNoNode) root_ = to;
  else if (nodes_[parent].left == from) nodes_[parent].left = to;
  else nodes_[parent].right = to;
}

void FolderIndex::rotateLeft(std::uint32_t x) {
  std::uint32_t y = nodes_[x].right;
  std::uint32_t inner = nodes_[y].left;
  nodes_[x].right = inner;
  if (inner != kNoNode) nodes_[inner].parent = x;
  nodes_[y].parent = nodes_[x].parent;
  replaceChild(nodes_[x].parent, x, y);
  nodes_[y].left = x;
  nodes_[x].parent = y;
}

void FolderIndex::rotateRight(std::uint32_t x) {
  std::uint32_t y = nodes_[x].left;
  std::uint32_t inner = nodes_[y].right;
  nodes_[x].left = inner;
  if (inner != kNoNode) nodes_[inner].parent = x;
  nodes_[y].parent = nodes_[x].parent;
  replaceChild(nodes_[x].parent, x, y);
  nodes_[y].right = x;
  nodes_[x].parent = y;
}

std::uint32_t FolderIndex::insert(std::uint32_t key) {
  // kNoNode must stay free to mean "no node".
  if (nodes_.size() >= kNoNode) throw std::length_error("folder index is full");
  auto added = static_cast<std::uint32_t>(nodes_.size());
  FolderNode fresh;
  fresh.key = key;
  nodes_.push_back(fresh);
  if (root_ == kNoNode) {
    root_ = added;
    return added;
  }

  std::uint32_t p = root_;
  for (;;) {
    FolderNode& n = nodes_[p];
    std::uint32_t& next = n.key < key ? n.right : n.left;
    if (next == kNoNode) {
      next = added;
      break;
    }
    p = next;
  }
  nodes_[added].parent = p;

  // Walk up while a subtree grew taller; the first node out of balance is rotated and the
  // height of its subtree is back to what it was, so the walk ends there.
  std::uint32_t child = added;
  while (p != kNoNode) {
    FolderNode& n = nodes_[p];
    n.balance = static_cast<std::int8_t>(n.balance + (n.left == child ? -1 : 1));
    if (n.balance == 0) break;
    if (n.balance == 1 || n.balance == -1) {
      child = p;
      p = n.parent;
      continue;
    }
    if (n.balance == 2) {
      std::uint32_t y = n.right;
      if (nodes_[y].balance > 0) {
        rotateLeft(p);
        nodes_[p].balance = 0;
        nodes_[y].balance = 0;
      } else {
        std::uint32_t z = nodes_[y].left;
        std::int8_t zb = nodes_[z].balance;
        rotateRight(y);
        rotateLeft(p);
        nodes_[p].balance = static_cast<std::int8_t>(zb > 0 ? -1 : 0);
        nodes_[y].balance = static_cast<std::int8_t>(zb < 0 ? 1 : 0);
        nodes_[z].balance = 0;
      }
    } else {
      std::uint32_t y = n.left;
      if (nodes_[y].balance < 0) {
        rotateRight(p);
        nodes_[p].balance = 0;
        nodes_[y].balance = 0;
      } else {
        std::uint32_t z = nodes_[y].right;
        std::int8_t zb = nodes_[z].balance;
        rotateLeft(y);
        rotateRight(p);
        nodes_[p].balance = static_cast<std::int8_t>(zb < 0 ? 1 : 0);
        nodes_[y].balance = static_cast<std::int8_t>(zb > 0 ? -1 : 0);
        nodes_[z].balance = 0;
      }
    }
    break;
  }
  return added;
}

void FolderIndex::preorder(const std::function<void(std::uint32_t)>& visit) const {
  // An AVL tree is at most ~1.44 log2(n) deep, but an explicit stack keeps this independent of it.
  std::vector<std::uint32_t> stack;
  if (root_ != kNoNode) stack.push_back(root_);
  while (!stack.empty()) {
    std::uint32_t i = stack.back();
    stack.pop_back();
    visit(i);
    const FolderNode& n = nodes_[i];
    if (n.right != kNoNode) stack.push_back(n.right);
    if (n.left != kNoNode) stack.push_back(n.left);
  }
}

}  // namespace ov::ntfs
