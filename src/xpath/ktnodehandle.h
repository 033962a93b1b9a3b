// KTNodeHandle: the counted handle through which syntax-tree nodes hold their
// children and the function library borrows them. Copies share one block
// {node, count}; the last release deletes the node.
#pragma once

#include <utility>

class KTXPathAstNode;

class KTNodeHandle {
 public:
  KTNodeHandle() noexcept = default;
  // Takes ownership of node (count 1); null gives an empty handle. T is the
  // node's class, complete at the call, so that the last release can delete
  // the node through its own (virtual) destructor while this header needs
  // only the declaration of the base.
  template <typename T>
  explicit KTNodeHandle(T* node) {
    if (node) block_ = new Block{node, 1, [](KTXPathAstNode* n) { delete static_cast<T*>(n); }};
  }
  KTNodeHandle(const KTNodeHandle& other) noexcept : block_(other.block_) {
    if (block_) ++block_->count;
  }
  KTNodeHandle(KTNodeHandle&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  KTNodeHandle& operator=(const KTNodeHandle& other) noexcept {
    if (block_ != other.block_) {
      if (other.block_) ++other.block_->count;
      Release();
      block_ = other.block_;
    }
    return *this;
  }
  KTNodeHandle& operator=(KTNodeHandle&& other) noexcept {
    if (this != &other) {
      Release();
      block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
  }
  ~KTNodeHandle() { Release(); }

  // Counts the block down and deletes the node when this was the last handle;
  // the handle is empty afterwards. Nothing for an empty handle.
  void Release() noexcept {
    if (!block_) return;
    Block* block = std::exchange(block_, nullptr);
    if (--block->count == 0) {
      block->destroy(block->node);
      delete block;
    }
  }

  KTXPathAstNode* Get() const noexcept { return block_ ? block_->node : nullptr; }
  KTXPathAstNode* operator->() const noexcept { return Get(); }
  KTXPathAstNode& operator*() const noexcept { return *Get(); }
  explicit operator bool() const noexcept { return block_ != nullptr; }
  int UseCount() const noexcept { return block_ ? block_->count : 0; }

 private:
  struct Block {
    KTXPathAstNode* node;
    int count;
    void (*destroy)(KTXPathAstNode*);
  };
  Block* block_ = nullptr;
};
