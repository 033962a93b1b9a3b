// The DTD walk: passes over a DTD document or a DOCTYPE, the external subset,
// conditional sections and parameter-entity references between
// declarations. Each markup declaration goes to its reader.
#include "schema/ktdtdwalker.h"

#include "platform/ktwchar.h"
#include "schema/ktschemamodel.h"
#include "streams/ktunicodedatabase.h"
#include "xml/ktxnode.h"

namespace {

constexpr const char16_t* kBlanks = u" \t\r\n";

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsLetter(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) return true;
  if (c < 0x80) return false;
  const char16_t* category = KTUnicodeDatabase::GetCategory(c);
  return category && category[0] == u'L';
}

bool IsDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return true;
  if (c < 0x80) return false;
  const char16_t* category = KTUnicodeDatabase::GetCategory(c);
  return category && category[0] == u'N' && category[1] == u'd';
}

// The keyword of a conditional section: the token after "<![", where text
// between quotes belongs to the token.
KTString SectionKeyword(const KTString& text) {
  int position = 3;
  return text.Tokenize(u" \t\r\n[]", position, u"'\"");
}

// "%name;" -> "name".
KTString ReferenceName(const KTString& reference) {
  return reference.GetLength() >= 2 ? reference.Mid(1, reference.GetLength() - 2) : KTString();
}

}  // namespace

bool IsParameterEntityReference(const KTString& text) {
  // The whole text is one reference: "%" [\p{L}_] [\p{L}\d.\-_:]* ";".
  int n = text.GetLength();
  if (n < 3 || text[0] != u'%' || text[n - 1] != u';') return false;
  if (!IsLetter(text[1]) && text[1] != u'_') return false;
  for (int i = 2; i < n - 1; ++i) {
    char16_t c = text[i];
    if (!IsLetter(c) && !IsDigit(c) && c != u'.' && c != u'-' && c != u'_' && c != u':') return false;
  }
  return true;
}

bool ResolveSectionKeyword(KTSchemaModel& model, KTXNode* node, const KTString& keyword, SectionKind& kind) {
  kind = SectionKind::kUnknown;
  KTString word = keyword;
  if (keyword.GetLength() > 0 && keyword[0] == u'%') {
    KTString name = ReferenceName(keyword);
    KTEntityDecl* entity = model.FindParameterEntity(name);
    if (!entity) {
      if (model.GetCurrentPass() <= 1) {
        model.RequestAnotherPass();
        kind = SectionKind::kPending;
        return true;
      }
      return model.ReportError(kSchemaUndeclaredEntity, node, nullptr, name);
    }
    const KTString& value = entity->GetTrimmedValue(model);
    if (!entity->singleToken || !(value == u"INCLUDE" || value == u"IGNORE")) {
      return model.ReportError(kSchemaUnusableParameterEntity, node, nullptr, entity->Describe());
    }
    word = value;
  } else if (!(keyword == u"INCLUDE" || keyword == u"IGNORE")) {
    return model.ReportError(kSchemaBadSectionOrReference, node, nullptr, keyword);
  }
  kind = word == u"INCLUDE" ? SectionKind::kInclude : SectionKind::kIgnore;
  return true;
}

// ---- Passes ----

bool KTSchemaModel::LoadDtdPasses(KTXNode* root) {
  if (twoPassMode_) {
    currentPass_ = 1;
    lastPassAllowed_ = 2;
  } else {
    currentPass_ = 0;
    lastPassAllowed_ = 1;
  }
  bool ok = true;
  dtdVisits_ = 0;
  do {
    ++currentPass_;
    anotherPass_ = false;
    ResetErrorBlock();
    // A second pass meets the same declarations again.
    declarationWarnings_.clear();
    declarationWarningLines_.clear();
    missingSubsetId_ = KTString();
    missingSubsetNode_ = nullptr;
    for (EntitySet* set : {&generalEntities_, &parameterEntities_}) {
      for (auto& [name, record] : *set) {
        record->DropParsedValue();
        record->declaredThisPass = false;
      }
    }
    ok = ParseExtSubsetDecl(root, true, false);
  } while (ok && anotherPass_);
  // An external subset that could not be loaded does not keep the internal
  // subset from being read; it is recorded once the walk is done.
  if (missingSubsetNode_) {
    bool reported = ReportError(kSchemaLoadFailed, missingSubsetNode_, nullptr, missingSubsetId_);
    ok = ok && reported;
  }
  WriteDeclarationWarnings();
  return ok;
}

// ---- The walk ----

bool KTSchemaModel::CountDtdVisit(KTXNode* node) {
  if (++dtdVisits_ <= kMaxDtdVisits) return true;
  ReportError(kSchemaExpansionFailed, node, nullptr, KTString());
  return false;
}

bool KTSchemaModel::ParseExtSubsetDecl(KTXNode* root, bool start, bool expandedText) {
  if (!root) return true;
  if (start) {
    Clear();
    schemaKind_ = kSchemaDtd;
    AddSchemaDocuments({root});
  }
  for (KTXNode* child = root->GetFirstChild(); child; child = child->GetNextSibling()) {
    if (!CountDtdVisit(child)) return false;
    bool ok = true;
    switch (child->GetKind()) {
      case kDoctype: {
        doctypeSeen_ = true;
        doctypeName_ = child->GetName();
        KTXNode* first = child->GetFirstChild();
        if (!first) return ReportError(kSchemaEmptyDoctype, child, nullptr, KTString());
        KTXNode* external = nullptr;
        if (first->GetKind() == kDoctypeExternalId) {
          KTString systemId;
          external = LoadExternalSubset(KTString(first->GetName()), KTString(first->GetValue()), child, true,
                                        &systemId, false);
          if (!external && !missingSubsetNode_) {
            missingSubsetId_ = systemId;
            missingSubsetNode_ = child;
          }
        }
        // The internal subset first: its entity declarations take precedence.
        ok = ParseExtSubsetDecl(child, false, false);
        if (ok && external) {
          if (IsActive(external)) {
            ok = ReportError(kSchemaBadSectionOrReference, child, nullptr, KTString(first->GetValue()));
          } else {
            PushActive(external);
            ok = ParseExternalSubset(external);
            PopActive();
          }
        }
        break;
      }
      case kDoctypeElement:
        ok = ParseElementDecl(*this, child, nullptr, false, false);
        break;
      case kDoctypeAttlist:
        ok = ParseAttlistDecl(*this, child, nullptr);
        break;
      case kDoctypeEntity:
        ok = ParseEntityDecl(*this, child);
        break;
      case kDoctypeNotation:
        ok = ParseNotationDecl(*this, child);
        break;
      case kText: {
        KTString text(child->GetValue());
        TextWalk step = KTStrNCmp(text.c_str(), u"<![", 3) == 0 ? WalkConditionalSection(child, text)
                                                                 : WalkReferenceText(child, text, expandedText);
        if (step == TextWalk::kEndWalk) return true;
        ok = step == TextWalk::kGoOn;
        break;
      }
      default:
        break;  // comments, processing instructions, the text declaration
    }
    if (!ok) return false;
  }
  return true;
}

KTSchemaModel::TextWalk KTSchemaModel::WalkConditionalSection(KTXNode* node, const KTString& text) {
  SectionKind kind;
  if (!ResolveSectionKeyword(*this, node, SectionKeyword(text), kind)) return TextWalk::kFailed;
  // An ignored section is passed over whole (the grammar matched the
  // sections nested in it); so is one whose keyword waits for the next pass.
  if (kind != SectionKind::kInclude) return TextWalk::kGoOn;
  int open = text.Find(u'[', 3);
  KTString body = open < 0 ? KTString() : text.Mid(open + 1, text.GetLength() - open - 1 - 3);
  body.TrimLeft(kBlanks);
  if (body.IsEmpty()) return TextWalk::kGoOn;
  if (sectionDepth_ >= kMaxDtdNesting) {
    // Each level would parse the body of the one inside it again.
    ReportError(kSchemaBadSectionOrReference, node, nullptr, KTString(u"INCLUDE"));
    return TextWalk::kFailed;
  }
  ++sectionDepth_;
  bool ok = WalkFragment(body, node, false, kSchemaBadSectionOrReference);
  --sectionDepth_;
  return ok ? TextWalk::kGoOn : TextWalk::kFailed;
}

bool KTSchemaModel::WalkFragment(const KTString& text, KTXNode* node, bool expandedText, int failureId) {
  std::unique_ptr<KTXNode> tree = ParseFragment(text.c_str(), u"extSubsetDecl", node);
  if (!tree) return ReportError(failureId, node, nullptr, KTString());
  KTXNode* root = AdoptFragment(std::move(tree), node);
  return ParseExtSubsetDecl(root, false, expandedText);
}

bool KTSchemaModel::WalkEntityTree(KTXNode* node, KTEntityDecl* entity) {
  // A parameter entity met again inside its own text would be walked for
  // ever; nesting past the bound is refused the same way.
  if (IsActive(entity) || GetActiveDepth() >= kMaxDtdNesting) {
    return ReportError(kSchemaUnusableParameterEntity, node, nullptr, entity->Describe());
  }
  KTXNode* tree = nullptr;
  if (entity->external) {
    if (!entity->loaded && !LoadExternalEntity(*entity, *this)) return false;
    tree = entity->parsedValue;
    // A DTD document that names itself is walked once.
    if (tree && IsActive(tree)) return ReportError(kSchemaUnusableParameterEntity, node, nullptr, entity->Describe());
  }
  // An internal entity, or an external one whose text did not parse as
  // declarations: its replacement text is parsed here.
  if (!tree) {
    if (entity->GetTrimmedValue(*this).IsEmpty()) return true;
    if (!entity->ParseValueAs(*this, tree, KTString(u"extSubsetDecl"), node, nullptr)) return false;
  }
  PushActive(entity);
  PushActive(tree);
  bool ok = ParseExtSubsetDecl(tree, false, false);
  PopActive();
  PopActive();
  return ok;
}

KTSchemaModel::TextWalk KTSchemaModel::WalkReferenceText(KTXNode* node, const KTString& text, bool expandedText) {
  auto result = [](bool ok) { return ok ? TextWalk::kGoOn : TextWalk::kFailed; };
  if (expandedText) {
    // Text of expanded references may not hold references again.
    return result(ReportError(kSchemaBadSectionOrReference, node, nullptr, text));
  }
  int percent = text.Find(u'%');
  if (percent < 0 || IsBlank(text[percent + 1])) {
    return result(ReportError(kSchemaBadSectionOrReference, node, nullptr, text));
  }
  if (IsParameterEntityReference(text)) {
    KTString name = ReferenceName(text);
    KTEntityDecl* entity = FindParameterEntity(name);
    if (!entity) {
      if (currentPass_ <= 1) {
        RequestAnotherPass();
        return TextWalk::kGoOn;
      }
      return result(ReportError(kSchemaUndeclaredEntity, node, nullptr, name));
    }
    return result(WalkEntityTree(node, entity));
  }

  // Several references, or references among other text: expand them and
  // read the result as declarations.
  KTString expanded;
  if (ExpandEntityReferences(node, text.c_str(), expanded, true, false, true)) {
    if (expanded.Find(u'<') < 0) {
      return result(ReportError(kSchemaBadSectionOrReference, node, nullptr, text));
    }
    std::unique_ptr<KTXNode> tree = ParseFragment(expanded.c_str(), u"extSubsetDecl", node);
    if (!tree) {
      if (anotherPass_) return TextWalk::kEndWalk;  // the rest waits for the next pass
      return result(ReportError(kSchemaExpansionFailed, node, nullptr, text));
    }
    KTXNode* root = AdoptFragment(std::move(tree), node);
    return result(ParseExtSubsetDecl(root, false, true));
  }
  if (KTStrNCmp(expanded.c_str(), u"<![", 3) != 0) return TextWalk::kFailed;
  KTString keyword = SectionKeyword(expanded);
  if (keyword == u"INCLUDE") {
    if (currentPass_ <= 1) {
      RequestAnotherPass();
      return TextWalk::kGoOn;
    }
    return TextWalk::kFailed;
  }
  if (keyword == u"IGNORE") return TextWalk::kGoOn;
  return result(ReportError(kSchemaBadSectionOrReference, node, nullptr, keyword));
}
