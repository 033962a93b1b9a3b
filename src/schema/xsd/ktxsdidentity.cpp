// Identity constraints (unique, key, keyref) of XML Schema element
// declarations: the record, and the loader that reads one constraint
// element into the model's set and the declaration's list.
#include <algorithm>
#include <memory>

#include "schema/xsd/ktidentityconstraint.h"
#include "schema/xsd/ktxsdloader.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathtreecontext.h"

KTIdentityConstraint::KTIdentityConstraint(const NamespaceMap* namespaces, const UriList* uris, int kind)
    : kind(kind), selector(namespaces, uris, KTString()) {}

bool KTIdentityConstraint::SetSelector(const NamespaceMap* namespaces, const UriList* uris, const KTString& text) {
  selector.Init(namespaces, uris, text, 0);
  return selector.CompileSelector(true);
}

bool KTIdentityConstraint::AddField(const NamespaceMap* namespaces, const UriList* uris, const KTString& text) {
  fields.emplace_back();
  fields.back().Init(namespaces, uris, text, 0);
  return fields.back().CompileField(true);
}

namespace {

// The path text without any space, tab, carriage return or line feed.
KTString WithoutWhiteSpace(const KTString& text) {
  KTString out;
  for (int i = 0; i < text.GetLength(); ++i) {
    char16_t c = text[i];
    if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n') out += c;
  }
  return out;
}

}  // namespace

bool KTSchemaModel::LoadXsdIdentityConstraint(KTXNode* node, KTNamespaceContext* elementContext,
                                              KTElementType* declaration, const KTString& local) {
  int kind = local == u"key" ? KTIdentityConstraint::kKey
                             : local == u"keyref" ? KTIdentityConstraint::kKeyref : KTIdentityConstraint::kUnique;
  KTXPathTreeContext* tree = GetTreeContext();
  const KTIdentityConstraint::UriList* uris = &tree->GetUriTable();
  KTIdentityConstraint record(&tree->GetNamespaceScope(node), uris, kind);
  bool ok = true;

  for (KTXNode* a = node->GetFirstChild(); a && ok; a = a->GetNextSibling()) {
    if (a->GetKind() != kAttribute) continue;
    KTString name, value;
    if (!XsdExpandNode(*this, a, name, value)) {
      ok = false;
      break;
    }
    if (name == u"name") {
      record.name = KTQName(value, xsd_.targetBinding.ns);
    } else if (name == u"refer" && kind == KTIdentityConstraint::kKeyref) {
      elementContext->ResolveQName(record.refer, value.c_str());
    }
  }

  KTNamespaceContext context(*elementContext, node);
  for (KTXNode* child = node->GetFirstChild(); child && ok; child = child->GetNextSibling()) {
    if (child->GetKind() != kElement) continue;
    KTString childName, childValue;
    if (!XsdExpandNode(*this, child, childName, childValue)) {
      ok = false;
      break;
    }
    KTString childLocal = XsdLocalName(&context, child);
    if (childLocal == u"annotation") continue;
    if (childLocal != u"selector" && childLocal != u"field") {
      ok = ReportError(kSchemaUnexpected, child, nullptr, XsdExpected(*this, {u"annotation", u"selector", u"field"}));
      break;
    }
    for (KTXNode* a = child->GetFirstChild(); a && ok; a = a->GetNextSibling()) {
      if (a->GetKind() != kAttribute) continue;
      KTString name, value;
      if (!XsdExpandNode(*this, a, name, value)) {
        ok = false;
        break;
      }
      if (name != u"xpath") continue;
      const KTIdentityConstraint::NamespaceMap* scope = &tree->GetNamespaceScope(child);
      KTString path = WithoutWhiteSpace(value);
      bool compiled = childLocal == u"selector" ? record.SetSelector(scope, uris, path)
                                                : record.AddField(scope, uris, path);
      if (!compiled) ok = ReportError(kXsdBadPath, a, nullptr, KTString());
    }
  }

  // Stored whatever was reported above: a later pass finds the record by name.
  auto it = identityConstraints_.find(record.name);
  if (it != identityConstraints_.end()) {
    if (currentPass_ == 1) {
      bool reported = ReportError(kXsdConstraintTwice, node, nullptr, record.name.localName);
      return ok && reported;
    }
  } else {
    it = identityConstraints_.emplace(record.name, std::make_shared<KTIdentityConstraint>(record)).first;
  }
  std::vector<KTIdentityConstraint*>& list = declaration->identityConstraints_;
  if (std::find(list.begin(), list.end(), it->second.get()) == list.end()) list.push_back(it->second.get());
  return ok;
}
