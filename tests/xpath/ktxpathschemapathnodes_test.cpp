// Evaluating identity-constraint selector and field paths over a loaded
// fixture.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ktloadtest_util.h"
#include "ktxpathtest_util.h"
#include "xml/ktdocloader.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathexpression.h"

namespace {

// keys.xml: r(b1 a1(x1 y1) b2 a2(c(y2)) p:q), each element named by its n
// attribute.
class KeysFixture {
 public:
  KeysFixture() {
    KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
    KTLoadStatus status;
    const std::u16string path = KTUtf8ToUtf16(std::string(OST_TEST_DATA) + "/xpath/keys.xml");
    document_.reset(loader.LoadFromUrl(path.c_str(), status));
    if (document_) view_ = context_.WrapTree(document_.get(), nullptr, false, path.c_str());
    namespaces_[KTString(u"p")] = context_.InternUri(u"urn:p");
  }
  KTXPathNode* Root() const { return view_.get(); }
  KTXPathNode* Element(const char16_t* n) const { return Find(view_.get(), n); }

  // Evaluates the path compiled in the mode at the element named n; the
  // nodes found, each as its n value or "@name=value", or "error N".
  std::string Run(int mode, const char* path, const char16_t* n) {
    KTXPathExpression expression(&namespaces_, &context_.GetUriTable(),
                                 KTString(std::u16string_view(KTUtf8ToUtf16(path))));
    if (!expression.Compile(true, mode)) return "no compile";
    KTXPathValue result;
    KTXPathNode* start = Element(n);
    if (!expression.Evaluate(start, start, &result, nullptr, 1, 1, true))
      return "error " + std::to_string(expression.GetErrorCode());
    std::string out;
    for (const KTXPathNodeItem& item : result.Items()) {
      const KTXPathNode* node = item.GetNode();
      if (!out.empty()) out += " ";
      if (node->GetKind() == kXPathAttribute) {
        out += "@" + KTUtf16ToUtf8(node->GetName()) + "=" + KTUtf16ToUtf8(node->GetValue());
      } else {
        out += Attribute(node, u"n");
      }
    }
    return out;
  }

 private:
  static std::string Attribute(const KTXPathNode* node, const char16_t* name) {
    for (const auto& child : node->Children()) {
      if (child->GetKind() == kXPathAttribute && std::u16string_view(child->GetName()) == name)
        return KTUtf16ToUtf8(child->GetValue());
    }
    return KTUtf16ToUtf8(node->GetName());
  }
  static KTXPathNode* Find(KTXPathNode* node, const char16_t* n) {
    if (node->GetKind() == kXPathElement && Attribute(node, u"n") == KTUtf16ToUtf8(n)) return node;
    for (const auto& child : node->Children()) {
      if (KTXPathNode* found = Find(child.get(), n)) return found;
    }
    return nullptr;
  }

  std::unique_ptr<KTXNode> document_;
  KTXPathTreeContext context_;
  std::unique_ptr<KTXPathNode> view_;
  KTPrefixMap namespaces_;
};

constexpr int kSelector = KTXPathExpression::kModeSelector;
constexpr int kField = KTXPathExpression::kModeField;

TEST(KTXPathSchemaPathNodes, SelectorsAndFields) {
  KeysFixture f;
  ASSERT_NE(f.Root(), nullptr);
  ASSERT_NE(f.Element(u"r"), nullptr);
  struct Case {
    int mode;
    const char* path;
    const char16_t* context;
    const char* expected;
  } cases[] = {
      // Alternatives in their own order, each node once, not re-sorted.
      {kSelector, "a | b", u"r", "a1 a2 b1 b2"},
      {kSelector, "b | a | b", u"r", "b1 b2 a1 a2"},
      {kSelector, ".//y", u"r", "y1 y2"},
      {kSelector, ".", u"r", "r"},
      {kSelector, "a/x", u"r", "x"},
      {kSelector, "a/*/y", u"r", "y2"},
      {kSelector, "p:*", u"r", "q"},
      {kSelector, "p:q | .//p:q", u"r", "q"},
      {kField, "@id", u"a1", "@id=1"},
      {kField, "x/@id", u"a1", "@id=x1"},
      {kField, ".//y", u"a2", "y2"},
      {kField, "a/@id | b/@n", u"r", "@id=1 @id=2 @n=b1 @n=b2"},
      {kField, ".", u"a2", "a2"},
      // An unbound prefix is error 1, not an empty value.
      {kField, "z:a", u"r", "error 1"},
      {kSelector, ".//z:*", u"r", "error 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(f.Run(c.mode, c.path, c.context), c.expected) << c.path;
}

}  // namespace
