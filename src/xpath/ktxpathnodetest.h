// Node tests: small predicates over one node-set item that decide which
// nodes a location step keeps (kind tests, name tests, and their negation
// and combinations), and the descendant and ancestor sets of one node.
// A test that combines others owns them.
#pragma once

#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxname.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathvalue.h"

class KTElementNameTest;

class KTXPathNodeTest {
 public:
  KTXPathNodeTest() = default;
  virtual ~KTXPathNodeTest() = default;
  KTXPathNodeTest(const KTXPathNodeTest&) = delete;
  KTXPathNodeTest& operator=(const KTXPathNodeTest&) = delete;
  // The base accepts every item.
  virtual bool Test(const KTXPathNodeItem& item) const { return true; }
  // This test when it is an element name test, which an axis walk applies
  // to a node before it makes the node's item (see
  // KTElementNameTest::Passes); null for every other test.
  virtual const KTElementNameTest* AsElementNameTest() const { return nullptr; }
};

using KTXPathNodeTestPtr = std::unique_ptr<KTXPathNodeTest>;

class KTElementTest : public KTXPathNodeTest {
 public:
  bool Test(const KTXPathNodeItem& item) const override { return item.GetKind() == kItemElement; }
};

// Text and CDATA sections alike.
class KTTextTest : public KTXPathNodeTest {
 public:
  bool Test(const KTXPathNodeItem& item) const override { return item.GetKind() == kItemText; }
};

class KTCommentTest : public KTXPathNodeTest {
 public:
  bool Test(const KTXPathNodeItem& item) const override { return item.GetKind() == kItemComment; }
};

class KTNamespaceNodeTest : public KTXPathNodeTest {
 public:
  bool Test(const KTXPathNodeItem& item) const override { return item.GetKind() == kItemNamespace; }
};

// An attribute whose parent is an element.
class KTAttributeOfElementTest : public KTXPathNodeTest {
 public:
  bool Test(const KTXPathNodeItem& item) const override;
};

// The XML declaration, the document type declaration and the declarations
// inside it (item kind 7, or a node whose parent has it).
class KTDeclarationTest : public KTXPathNodeTest {
 public:
  bool Test(const KTXPathNodeItem& item) const override;
};

// Elements and attributes in the namespace of the interned URI (compared by
// identity); without a URI, those in no namespace.
class KTNamespaceUriTest : public KTXPathNodeTest {
 public:
  explicit KTNamespaceUriTest(const KTString* uri) : uri_(uri) {}
  bool Test(const KTXPathNodeItem& item) const override;
  // Test for the node with its item kind.
  bool TestNode(const KTXPathNode* node, int itemKind) const;
  // Test for an element or attribute node.
  bool TestNamedNode(const KTXPathNode* node) const {
    const KTString* uri = node->GetNamespaceUri();
    // A URI entry with empty text stands for no namespace as well.
    if (uri && uri->IsEmpty())
      uri = nullptr;
    return uri == uri_;
  }

 private:
  const KTString* uri_;
};

// The node's name, after its first colon when it has one, equals the text.
class KTLocalNameTest : public KTXPathNodeTest {
 public:
  explicit KTLocalNameTest(const KTString& localName);
  bool Test(const KTXPathNodeItem& item) const override;
  // Test for the node with its item kind.
  bool TestNode(const KTXPathNode* node, int itemKind) const;
  // Test for an element or attribute node, answered from its document
  // node's interned name where it shows one (see TestInterned).
  // The local name; empty when it holds a colon (then it matches otherwise
  // than the part after a name's first colon).
  std::u16string_view PlainLocalName() const { return hasColon_ ? std::u16string_view() : localName_.View(); }
  bool TestNamedNode(const KTXPathNode* node) const {
    if (!hasColon_ && !node->HasOwnName()) {
      if (const KTXName* interned = node->WrappedInternedName())
        return TestInterned(*interned);
    }
    return TestNode(node, node->GetKind() == kXPathAttribute ? kItemAttribute : kItemElement);
  }

 private:
  // The answer for an interned name, for a local name without a colon. Equal
  // texts share one entry, and the test holds its local name's: a name of
  // that entry passes at once. Any other passes only as "prefix:local",
  // which its length and the character before the tail mostly rule out
  // without reading it.
  bool TestInterned(const KTXName& name) const {
    const KTString& text = name.Str();
    if (&text == &interned_.Str())
      return true;
    const int length = text.GetLength();
    if (length < localLength_ + 2 || text.c_str()[length - localLength_ - 1] != u':')
      return false;
    return TestPrefixed(text.View());
  }
  // Whether the name's part after its first colon is the local name.
  bool TestPrefixed(std::u16string_view name) const;

  KTString localName_;
  int localLength_;
  bool hasColon_;
  KTXName interned_;  // the local name, held; empty when it has a colon
};

// An element with this namespace URI (null: none) and local name: the
// element test, the namespace test and the local-name test of a name test on
// a principal-element axis in one call, the cheap tests first.
class KTElementNameTest : public KTXPathNodeTest {
 public:
  KTElementNameTest(const KTString& localName, const KTString* uri) : uri_(uri), local_(localName) {}
  bool Test(const KTXPathNodeItem& item) const override;
  const KTElementNameTest* AsElementNameTest() const override { return this; }
  // The answer of Test for the node's item, read from the node alone.
  bool Passes(const KTXPathNode* node) const {
    // Only the element kind of view node gives an element item.
    return node->GetKind() == kXPathElement && uri_.TestNamedNode(node) && local_.TestNamedNode(node);
  }
  // The local name that every element passing the test has after its
  // name's first colon (or as its whole name); empty when there is none.
  std::u16string_view PlainLocalName() const { return local_.PlainLocalName(); }

 private:
  KTNamespaceUriTest uri_;
  KTLocalNameTest local_;
};

// The node's own value text (else its tree node's) equals the text.
class KTStringValueTest : public KTXPathNodeTest {
 public:
  explicit KTStringValueTest(const KTString& value) : value_(value) {}
  bool Test(const KTXPathNodeItem& item) const override;

 private:
  KTString value_;
};

// A processing instruction, named as the target when it is not empty.
class KTPITargetTest : public KTXPathNodeTest {
 public:
  explicit KTPITargetTest(const KTString& target) : target_(target) {}
  bool Test(const KTXPathNodeItem& item) const override;

 private:
  KTString target_;
};

class KTNotTest : public KTXPathNodeTest {
 public:
  explicit KTNotTest(KTXPathNodeTestPtr test) : test_(std::move(test)) {}
  bool Test(const KTXPathNodeItem& item) const override { return !test_->Test(item); }

 private:
  KTXPathNodeTestPtr test_;
};

// True when every test is (true for none); stops at the first false.
class KTAllOfTest : public KTXPathNodeTest {
 public:
  explicit KTAllOfTest(std::vector<KTXPathNodeTestPtr> tests) : tests_(std::move(tests)) {}
  bool Test(const KTXPathNodeItem& item) const override;

 private:
  std::vector<KTXPathNodeTestPtr> tests_;
};

// True when some test is (false for none); stops at the first true.
class KTAnyOfTest : public KTXPathNodeTest {
 public:
  explicit KTAnyOfTest(std::vector<KTXPathNodeTestPtr> tests) : tests_(std::move(tests)) {}
  bool Test(const KTXPathNodeItem& item) const override;

 private:
  std::vector<KTXPathNodeTestPtr> tests_;
};

// Membership of an item's node in a set of nodes.
class KTXPathNodeSetTest : public KTXPathNodeTest {
 public:
  bool Test(const KTXPathNodeItem& item) const override { return Contains(item); }
  virtual bool Contains(const KTXPathNodeItem& item) const = 0;
};

// The descendants of one node (attributes and namespace nodes of the
// subtree included, the node itself not). Numbered nodes of one document
// answer from the range of document-order positions that the subtree
// covers; others by climbing their parents.
class KTDescendantSet : public KTXPathNodeSetTest {
 public:
  explicit KTDescendantSet(const KTXPathNodeItem& item);
  bool Contains(const KTXPathNodeItem& item) const override;

 private:
  const KTXPathNode* top_;
  int first_ = 0;  // the range of positions, when the subtree is numbered
  int last_ = -1;
  bool ranged_ = false;
};

// One node and all its ancestors.
class KTAncestorSet : public KTXPathNodeSetTest {
 public:
  explicit KTAncestorSet(const KTXPathNodeItem& item);
  bool Contains(const KTXPathNodeItem& item) const override;

 private:
  std::unordered_set<const KTXPathNode*> nodes_;
};

// Shared node classifications of the axis walkers.
// The XML declaration, the document type declaration and the declarations
// inside it: the kinds from kXPathXmlDecl on (item kind 7), or a node whose
// parent has one. Inline: the ancestor and parent walks ask it of every node.
inline bool IsDeclarationNode(const KTXPathNode* node) {
  if (!node)
    return false;
  if (node->GetKind() >= kXPathXmlDecl)
    return true;
  const KTXPathNode* parent = node->GetParent();
  return parent && parent->GetKind() >= kXPathXmlDecl;
}
bool IsAttributeOfElement(const KTXPathNode* node);
