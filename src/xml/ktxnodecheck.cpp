// The node checks: each kind checks its own name and value against rules of
// the document grammar and the kinds of its children; ValidateSubtree runs
// them over a whole subtree without recursion.
#include "xml/ktxnodecheck.h"

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "parso/parsoparser.h"
#include "platform/ktwchar.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnodekinds.h"
#include "xml/ktxwriter.h"

namespace {

bool IsOnlyXmlSpace(const char16_t* text) {
  for (; *text; ++text) {
    if (*text != u' ' && *text != u'\t' && *text != u'\r' && *text != u'\n') return false;
  }
  return true;
}

int ParentKind(const KTXNode* node) { return node->GetParent() ? node->GetParent()->GetKind() : -1; }

}  // namespace

// ---------------------------------------------------------------------------
// KTTextChecker

bool KTTextChecker::CheckText(KTXNode* node, bool useName, const char16_t* text, int length,
                              const char16_t* ruleName) {
  if (disabled_) return true;
  if (!parser_) return true;
  if (parser_->Parse(text, static_cast<size_t>(length), ruleName)) return true;
  node_ = node;
  nameFailed_ = useName;
  if (parser_->GetErrorPosition() || parser_->GetErrorRule()) {
    std::u16string error = parser_->GetErrorText();
    if (error.rfind(u"end of ", 0) == 0) {
      message_.LoadString(kMsgUnexpectedEnd);
    } else {
      KTString format;
      format.LoadString(kMsgSyntaxError);
      message_.Format(format.c_str(), error.c_str());
    }
    errorOffset_ = parser_->GetErrorOffset();
    errorLine_ = parser_->GetErrorLine();
  }
  return false;
}

bool KTTextChecker::Fail(KTXNode* node, bool name, unsigned messageId, const char16_t* arg1, const char16_t* arg2) {
  node_ = node;
  nameFailed_ = name;
  KTString format;
  format.LoadString(messageId);
  message_.Format(format.c_str(), arg1 ? arg1 : u"", arg2 ? arg2 : u"");
  return false;
}

// ---------------------------------------------------------------------------
// Base checks and the subtree walk

bool KTXNode::Reparse(KTTextChecker& checker, const char16_t* ruleName, bool useName) {
  if (checker.IsDisabled()) return true;
  const char16_t* text = useName ? GetName() : GetValue();
  return checker.CheckText(this, useName, text, static_cast<int>(KTStrLen(text)), ruleName);
}

// The children's kinds check of containers.
bool KTXNode::Validate(KTTextChecker& checker) {
  if (!IsContainer()) return true;
  for (KTXNode* child = GetFirstChild(); child; child = child->GetNextSibling()) {
    if (!CanHaveChild(child->GetKind()))
      return checker.Fail(child, false, kMsgChildNotAllowed, child->GetKindName(), GetKindName());
  }
  return true;
}

bool KTXNode::ValidateSubtree(KTTextChecker& checker) {
  if (!Validate(checker)) return false;
  // One entry per open level: the container and the next child to check.
  // When a level is done, its container's ValidateAfterSubtree runs.
  std::vector<std::pair<KTXNode*, KTXNode*>> stack;
  if (!HasChildren()) return ValidateAfterSubtree(checker);
  stack.emplace_back(this, GetFirstChild());
  while (!stack.empty()) {
    auto& [container, node] = stack.back();
    if (!node) {
      KTXNode* done = container;
      stack.pop_back();
      if (!done->ValidateAfterSubtree(checker)) return false;
      continue;
    }
    KTXNode* current = node;
    node = current->GetNextSibling();
    if (!current->Validate(checker)) return false;
    if (current->HasChildren()) {
      stack.emplace_back(current, current->GetFirstChild());
    } else if (!current->ValidateAfterSubtree(checker)) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Document kinds

bool KTXDocumentNode::Validate(KTTextChecker& checker) {
  int tags = 0, elements = 0, doctypes = 0;
  KTXNode* last = nullptr;
  for (KTXNode* child : Children()) {
    KTXNode* node = child;
    last = node;
    int kind = node->GetKind();
    int count = kind == kXmlTag ? ++tags : kind == kElement ? ++elements : kind == kDoctype ? ++doctypes : 0;
    if (count == 2) return checker.Fail(node, false, kMsgOnlyOne, node->GetKindName(), GetKindName());
  }
  if (elements == 0)
    return checker.Fail(last ? last : this, false, kMsgRequiredChild, KindName(kElement), GetKindName());
  return KTXNode::Validate(checker);
}

bool KTXEntityNode::Validate(KTTextChecker& checker) {
  int tags = 0;
  for (KTXNode* child : Children()) {
    if (child->GetKind() == kXmlTag && ++tags == 2)
      return checker.Fail(child, false, kMsgOnlyOne, child->GetKindName(), GetKindName());
  }
  return KTXNode::Validate(checker);
}

bool KTXTagNode::Validate(KTTextChecker& checker) {
  if (!KTXNode::Validate(checker)) return false;
  const int parentKind = ParentKind(this);
  const unsigned badDeclaration = parentKind == kDtdDocument ? kMsgBadTextDeclaration : kMsgBadXmlDeclaration;
  bool hasVersion = false, hasEncoding = false;
  for (KTXNode* child : Children()) {
    if (child->GetKind() != kAttribute) continue;
    KTXNode* attribute = child;
    const char16_t* name = attribute->GetName();
    if (KTStrCmp(name, u"encoding") == 0) {
      hasEncoding = true;
      if (!attribute->Reparse(checker, u"EncName", false)) return false;
    } else if (KTStrCmp(name, u"version") == 0) {
      hasVersion = true;
      if (!attribute->Reparse(checker, u"VersionNum", false)) return false;
    } else if (KTStrCmp(name, u"standalone") == 0 && parentKind == kXmlDocument) {
      if (!attribute->Reparse(checker, u"SDValue", false)) return false;
    } else {
      return checker.Fail(attribute, true, badDeclaration);
    }
  }
  if (parentKind == kDtdDocument && !hasEncoding) return checker.Fail(this, false, kMsgBadTextDeclaration);
  if (parentKind == kXmlDocument && !hasVersion) return checker.Fail(this, false, kMsgBadXmlDeclaration);
  return true;
}

bool KTXElementNode::Validate(KTTextChecker& checker) {
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (!Reparse(checker, u"ElementName", true)) return false;
  if (!IsOnlyXmlSpace(value_) && !Reparse(checker, u"TextData", false)) return false;
  // Few attributes are compared pairwise; many go through a hash set, so
  // the check stays linear without a set per element.
  std::vector<KTXNode*> attributes;
  for (KTXNode* child : Children()) {
    if (child->GetKind() == kAttribute) attributes.push_back(child);
  }
  constexpr size_t kPairwiseLimit = 8;
  if (attributes.size() <= kPairwiseLimit) {
    for (size_t i = 1; i < attributes.size(); ++i) {
      for (size_t j = 0; j < i; ++j) {
        if (KTStrCmp(attributes[i]->GetName(), attributes[j]->GetName()) == 0)
          return checker.Fail(attributes[i], true, kMsgDuplicateAttribute, attributes[i]->GetName());
      }
    }
  } else {
    std::unordered_set<std::u16string_view> names;
    for (KTXNode* attribute : attributes) {
      if (!names.insert(std::u16string_view(attribute->GetName())).second)
        return checker.Fail(attribute, true, kMsgDuplicateAttribute, attribute->GetName());
    }
  }
  return KTXNode::Validate(checker);
}

bool KTXAttributeNode::Validate(KTTextChecker& checker) {
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (!Reparse(checker, u"AttName", true)) return false;
  if (value_.IsEmpty()) return true;
  return Reparse(checker, value_.Find(u'"') >= 0 ? u"AttValue2" : u"AttValue1", false);
}

bool KTXTextNode::Validate(KTTextChecker& checker) {
  int parentKind = ParentKind(this);
  if (parentKind == kDtdDocument || parentKind == kDoctype) {
    if (value_.IsEmpty()) return checker.Fail(this, false, kMsgEmptyDtdText, GetParent()->GetKindName());
    return Reparse(checker, u"extSubsetDecl", false);
  }
  if (IsOnlyXmlSpace(value_)) return true;
  return Reparse(checker, u"TextData", false);
}

bool KTXCDataNode::Validate(KTTextChecker& checker) {
  return value_.IsEmpty() || Reparse(checker, u"CData", false);
}

bool KTXCommentNode::Validate(KTTextChecker& checker) {
  return value_.IsEmpty() || Reparse(checker, u"CommentText", false);
}

bool KTXPINode::Validate(KTTextChecker& checker) {
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (!Reparse(checker, u"PITarget", true)) return false;
  return value_.IsEmpty() || Reparse(checker, u"PIData", false);
}

bool KTXDoctypeNode::Validate(KTTextChecker& checker) {
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (!Reparse(checker, u"DocTypeName", true)) return false;
  int ids = 0;
  for (KTXNode* child : Children()) {
    if (child->GetKind() == kDoctypeExternalId && ++ids == 2)
      return checker.Fail(child, false, kMsgSecondExternalId, child->GetKindName());
  }
  return KTXNode::Validate(checker);
}

bool KTXExternalIdNode::Validate(KTTextChecker& checker) {
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (value_.IsEmpty()) return checker.Fail(this, false, kMsgValueMissing, GetKindName());
  if (name_ == u"SYSTEM") return Reparse(checker, u"ExtIDTextSys", false);
  if (name_ == u"PUBLIC") return Reparse(checker, u"ExtIDTextPub", false);
  return checker.Fail(this, true, kMsgBadExternalIdKeyword, GetKindName());
}

// ---------------------------------------------------------------------------
// Declarations

bool KTDoctypeElementNode::Validate(KTTextChecker& checker) {
  int type = GetContentType(true);
  bool group = IsParticle() && (type == kContentMixed || type == kContentSequence || type == kContentChoice);
  if (group) return true;
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (!Reparse(checker, u"NameOrPERef", true)) return false;
  if (type == kContentText) {
    if (value_.IsEmpty()) return checker.Fail(this, false, kMsgValueMissing, GetKindName());
    if (checker.IsDisabled()) return true;
    // The formatted form is tried first; only its failure counts when the
    // unformatted form fails as well.
    if (checker.CheckText(this, false, value_, value_.GetLength(), u"elementSpecFormatted")) return true;
    return Reparse(checker, u"elementSpecUnformatted", false);
  }
  return true;
}

bool KTDoctypeElementNode::ValidateAfterSubtree(KTTextChecker& checker) {
  if (IsParticle() || checker.IsDisabled()) return true;
  const KTWriteOptions options{.lineEnd = u"\r"};
  KTString text;
  int length = 0;
  WriteText(text, length, 0, options);
  if (checker.CheckText(this, false, text, length, u"elementdecl")) return true;
  return checker.Fail(this, false, kMsgElementDeclInvalid);
}

bool KTDoctypeAttlistNode::Validate(KTTextChecker& checker) {
  const int part = typeCode_;
  if (part != kAttlistDefinition) {
    const KTXNode* parent = GetParent();
    if (parent && parent->GetKind() == kDoctypeAttlist &&
        static_cast<const KTDoctypeAttlistNode*>(parent)->GetPart() == kAttlistDefinition)
      return true;
    if (part == kAttlistWhole) {
      if (value_.IsEmpty()) return checker.Fail(this, false, kMsgValueMissing, GetKindName());
      if (checker.IsDisabled()) return true;
      if (checker.CheckText(this, false, value_, value_.GetLength(), u"attlistRestFormatted")) return true;
      return Reparse(checker, u"attlistRestUnformatted", false);
    }
    return checker.Fail(this, false, kMsgAttlistPartOutOfPlace);
  }

  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (!HasChildren()) return true;

  std::vector<KTDoctypeAttlistNode*> parts;
  for (KTXNode* child : Children()) {
    if (child->GetKind() != kDoctypeAttlist) return checker.Fail(child, false, kMsgAttlistPartOutOfPlace);
    parts.push_back(static_cast<KTDoctypeAttlistNode*>(child));
  }
  auto partAt = [&](size_t i) { return i < parts.size() ? parts[i]->GetPart() : -1; };
  auto failAt = [&](size_t i, unsigned message, int detail) {
    checker.SetDetail(detail);
    return checker.Fail(i < parts.size() ? static_cast<KTXNode*>(parts[i]) : this, false, message);
  };

  // 1. The attribute name (a lone parameter-entity reference stands for the
  // whole definition).
  size_t i = 0;
  if (partAt(0) != kAttlistName) return failAt(0, kMsgAttlistPartOutOfPlace, 0);
  if (parts[0]->value_.GetLength() > 0 && parts[0]->value_[0] == u'%' && parts.size() == 1) return true;
  if (!parts[0]->Reparse(checker, u"AttlistName", false)) return false;
  i = 1;

  // 2. The type.
  int type = partAt(i);
  if (type < kAttlistTypeCDATA || type > kAttlistTypePERef) return failAt(i, kMsgAttlistTypeMissing, 1);
  if (type == kAttlistTypePERef && i + 1 == parts.size()) return parts[i]->Reparse(checker, u"PEReference", false);
  ++i;

  // 3. Enumerated or notation values.
  if (type == kAttlistTypeNotation || type == kAttlistTypeEnum) {
    if (partAt(i) != kAttlistValue) return failAt(i, kMsgAttlistValuesMissing, 2);
    const char16_t* rule = type == kAttlistTypeNotation ? u"AttTypeNotName" : u"AttTypeEnumName";
    for (; partAt(i) == kAttlistValue; ++i) {
      if (parts[i]->value_.IsEmpty()) return checker.Fail(parts[i], false, kMsgValueMissing, GetKindName());
      if (!parts[i]->Reparse(checker, rule, false)) return false;
    }
  } else if (partAt(i) == kAttlistValue) {
    return failAt(i, kMsgAttlistValuesNotAllowed, 0);
  }

  // 4. The default declaration.
  int presence = partAt(i);
  if (presence == -1) return failAt(i, kMsgAttlistPresenceMissing, 3);
  if (presence >= kAttlistRequired && presence <= kAttlistFixed) {
    ++i;
    if (presence == kAttlistFixed && partAt(i) != kAttlistDefault) return failAt(i, kMsgAttlistFixedNeedsDefault, 4);
    if (presence != kAttlistFixed && partAt(i) == kAttlistDefault) return failAt(i, kMsgAttlistDefaultNotAllowed, 0);
  }
  if (partAt(i) == kAttlistDefault) ++i;
  if (i < parts.size()) return failAt(i, kMsgAttlistPartOutOfPlace, 0);
  return true;
}

bool KTDoctypeEntityNode::Validate(KTTextChecker& checker) {
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (value_.IsEmpty()) return checker.Fail(this, false, kMsgValueMissing, GetKindName());
  bool parameter = name_[0] == u'%';
  if (!Reparse(checker, parameter ? u"PEName" : u"GEName", true)) return false;
  return Reparse(checker, parameter ? u"PEDef" : u"GEDef", false);
}

bool KTDoctypeNotationNode::Validate(KTTextChecker& checker) {
  if (name_.IsEmpty()) return checker.Fail(this, true, kMsgNameMissing, GetKindName());
  if (value_.IsEmpty()) return checker.Fail(this, false, kMsgValueMissing, GetKindName());
  if (!Reparse(checker, u"NotationName", true)) return false;
  return Reparse(checker, u"NotationText", false);
}
