// The DTD walk: passes over a DTD document or a DOCTYPE, the external subset,
// conditional sections and parameter-entity references between
// declarations. Each markup declaration goes to its reader. Fatal errors of
// the DTD refuse the document; the other problems end in one warning line.
#include "schema/ktdtdwalker.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "net/ktnetmessages.h"
#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "schema/ktschemamodel.h"
#include "streams/ktunicodedatabase.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xml/ktparserdriver.h"
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
// between quotes belongs to the token. A view into the section's text.
std::u16string_view SectionKeyword(std::u16string_view text) {
  auto isDelimiter = [](char16_t c) { return IsBlank(c) || c == u'[' || c == u']'; };
  size_t i = std::min<size_t>(3, text.size());
  while (i < text.size() && isDelimiter(text[i])) ++i;
  const size_t begin = i;
  bool quoted = false;
  for (; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'\'' || c == u'"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && isDelimiter(c)) break;
  }
  return text.substr(begin, i - begin);
}

// "%name;" -> "name".
KTString ReferenceName(const KTString& reference) {
  return reference.GetLength() >= 2 ? reference.Mid(1, reference.GetLength() - 2) : KTString();
}

// Whether the text is nothing but parameter-entity references and blanks.
bool IsReferenceList(const KTString& text) {
  int n = text.GetLength();
  bool any = false;
  for (int i = 0; i < n;) {
    if (IsBlank(text[i])) {
      ++i;
      continue;
    }
    int end = text.Find(u';', i);
    if (end < 0 || !IsParameterEntityReference(text.Mid(i, end + 1 - i))) return false;
    any = true;
    i = end + 1;
  }
  return any;
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

bool ResolveSectionKeyword(KTSchemaModel& model, KTXNode* node, std::u16string_view keyword, SectionKind& kind) {
  kind = SectionKind::kUnknown;
  std::u16string_view word = keyword;
  if (!keyword.empty() && keyword[0] == u'%') {
    // "%name;" -> "name", looked up without a copy.
    const std::u16string_view name = keyword.size() >= 2 ? keyword.substr(1, keyword.size() - 2) : std::u16string_view();
    KTEntityDecl* entity = model.FindEntity(name, true);
    if (!entity) {
      if (model.GetCurrentPass() <= 1) {
        model.RequestAnotherPass();
        kind = SectionKind::kPending;
        return true;
      }
      return model.ReportError(kSchemaUndeclaredEntity, node, nullptr, KTString(name));
    }
    // The replacement text stands between blanks (XML 1.0 §4.4.8), so blanks
    // around the keyword in the value are allowed; the rest is the keyword.
    // Only the white space of XML 1.0 §2.3 (S) is passed over: other space
    // characters (U+3000, U+2003) belong to the keyword and spoil it.
    std::u16string_view value = GetEntityValue(*entity, model).View();
    while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
    if (!(value == u"INCLUDE" || value == u"IGNORE")) {
      model.RefuseDocument(u"the keyword of a conditional section is " + entity->Describe() +
                           u", neither INCLUDE nor IGNORE (XML 1.0 §3.4), at " + model.PlaceOf(node));
      return model.ReportError(kSchemaUnusableParameterEntity, node, nullptr, entity->Describe());
    }
    word = value;
  } else if (!(keyword == u"INCLUDE" || keyword == u"IGNORE")) {
    const KTString written(keyword);
    model.RefuseDocument(u"the keyword of a conditional section is \"" + written +
                         u"\", neither INCLUDE nor IGNORE (XML 1.0 §3.4), at " + model.PlaceOf(node));
    return model.ReportError(kSchemaBadSectionOrReference, node, nullptr, written);
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
  // The fragment parsers, and the content models kept to be read again,
  // serve this walk only.
  struct KeepDrivers {
    KTSchemaModel& model;
    explicit KeepDrivers(KTSchemaModel& m) : model(m) { model.keepFragmentDrivers_ = true; }
    ~KeepDrivers() {
      model.keepFragmentDrivers_ = false;
      model.fragmentDrivers_.clear();
      model.knownSections_.clear();
      model.readContentModels_.clear();
    }
  } keepDrivers(*this);
  do {
    ++currentPass_;
    anotherPass_ = false;
    ResetErrorBlock();
    // A second pass meets the same declarations again.
    declarationWarnings_.clear();
    declarationWarningLines_.clear();
    missingSubsetId_ = KTString();
    missingSubsetNode_ = nullptr;
    missingSubsetReason_ = KTString();
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
          if (!external && IsNotWellFormed(lastLoadFailure_)) {
            // XML 1.0 §5.1: a well-formedness error in the external subset is
            // fatal; only one that cannot be read at all is passed over.
            RefuseDocument(u"the external DTD subset \"" + systemId + u"\" is not well-formed: " +
                           DescribeLoadFailure(lastLoadFailure_, lastLoadUrl_));
            return ReportError(kSchemaLoadFailed, child, nullptr, systemId);
          }
          if (!external && !missingSubsetNode_) {
            missingSubsetId_ = systemId;
            missingSubsetNode_ = child;
            missingSubsetReason_ = DescribeLoadFailure(lastLoadFailure_, lastLoadUrl_);
            NoteUnreadDtd(u"the external DTD subset \"" + systemId + u"\"");
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
        if (!ok) RefuseMalformedDeclaration(child);
        break;
      case kDoctypeAttlist:
        ok = ParseAttlistDecl(*this, child, nullptr);
        if (!ok) RefuseMalformedDeclaration(child);
        break;
      case kDoctypeEntity:
        ok = ParseEntityDecl(*this, child);
        break;
      case kDoctypeNotation:
        ok = ParseNotationDecl(*this, child);
        break;
      case kText: {
        // A section's text is read in place (its length the one the node
        // keeps, not measured again at each level of nesting): only its
        // body is copied.
        const std::u16string_view text = DtdTextOf(child);
        TextWalk step = text.starts_with(u"<![") ? WalkConditionalSection(child, text)
                                                 : WalkReferenceText(child, KTString(text), expandedText);
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

KTSchemaModel::TextWalk KTSchemaModel::WalkConditionalSection(KTXNode* node, std::u16string_view text) {
  SectionKind kind;
  if (!ResolveSectionKeyword(*this, node, SectionKeyword(text), kind)) return TextWalk::kFailed;
  // An ignored section is passed over whole (the grammar matched the
  // sections nested in it); so is one whose keyword waits for the next pass.
  if (kind != SectionKind::kInclude) return TextWalk::kGoOn;
  // The body: from behind the '[' that opens it to before "]]>", leading
  // blanks left out.
  const size_t open = text.size() > 3 ? text.find(u'[', 3) : std::u16string_view::npos;
  if (open == std::u16string_view::npos || text.size() < open + 1 + 3) return TextWalk::kGoOn;
  const size_t end = text.size() - 3;
  size_t from = open + 1;
  while (from < end && IsBlank(text[from])) ++from;
  if (from >= end) return TextWalk::kGoOn;
  const std::u16string_view body = text.substr(from, end - from);
  // Where the body stands in the section's text, for the places of messages.
  const int bodyOffset = static_cast<int>(from);
  if (sectionDepth_ >= kMaxDtdNesting) {
    // Each level would parse the body of the one inside it again.
    RefuseDocument(u"conditional sections are nested too deeply at " + PlaceOf(node));
    ReportError(kSchemaBadSectionOrReference, node, nullptr, KTString(u"INCLUDE"));
    return TextWalk::kFailed;
  }
  ++sectionDepth_;
  bool ok;
  // The sections nested in the body are not read again as text here: each
  // is parsed when the walk reaches it.
  std::vector<SectionRange> inBody;
  const std::vector<SectionRange>* known = NestedSectionsOf(node);
  if (known) {
    inBody.reserve(known->size());
    for (const SectionRange& range : *known) inBody.push_back({range.begin - from, range.end - from, range.depth});
  }
  if (std::unique_ptr<KTXNode> tree = ParseSectionBody(body, node, known ? &inBody : nullptr)) {
    KTXNode* root = AdoptFragment(std::move(tree), node);
    fragmentOffsets_[root] = bodyOffset;
    ok = ParseExtSubsetDecl(root, false, false);
  } else {
    ok = WalkFragment(KTString(body), node, false, kSchemaBadSectionOrReference, bodyOffset);
  }
  --sectionDepth_;
  return ok ? TextWalk::kGoOn : TextWalk::kFailed;
}

bool KTSchemaModel::WalkFragment(const KTString& text, KTXNode* node, bool expandedText, int failureId,
                                 int textOffset) {
  // The text is a section's body, copied from a node's value: no NUL inside.
  std::unique_ptr<KTXNode> tree = ParseFragmentOfLength(text.c_str(), text.GetLength(), u"extSubsetDecl", node);
  if (!tree) {
    RefuseDocument(u"an included conditional section does not hold markup declarations (XML 1.0 §3.4) at " +
                   PlaceOf(node));
    return ReportError(failureId, node, nullptr, KTString());
  }
  KTXNode* root = AdoptFragment(std::move(tree), node);
  if (textOffset >= 0) fragmentOffsets_[root] = textOffset;
  return ParseExtSubsetDecl(root, false, expandedText);
}

bool KTSchemaModel::WalkEntityTree(KTXNode* node, KTEntityDecl* entity) {
  // A parameter entity met again inside its own text would be walked for
  // ever; nesting past the bound is refused the same way.
  if (IsActive(entity) || GetActiveDepth() >= kMaxDtdNesting) {
    RefuseDocument(u"the parameter entity %" + entity->name +
                   (IsActive(entity) ? KTString(u"; refers to itself (XML 1.0 §4.1, No Recursion) at ")
                                     : KTString(u"; is nested too deeply at ")) +
                   PlaceOf(node));
    return ReportError(kSchemaUnusableParameterEntity, node, nullptr, entity->Describe());
  }
  KTXNode* tree = nullptr;
  if (entity->external) {
    if (!entity->loaded && !LoadExternalEntity(*entity, *this)) return false;
    tree = entity->parsedValue;
    // A DTD document that names itself is walked once.
    if (tree && IsActive(tree)) {
      RefuseDocument(u"the parameter entity %" + entity->name + u"; refers to itself (XML 1.0 §4.1, No Recursion) at " +
                     PlaceOf(node));
      return ReportError(kSchemaUnusableParameterEntity, node, nullptr, entity->Describe());
    }
  }
  // An internal entity, or an external one whose text did not parse as
  // declarations: its replacement text is parsed here.
  if (!tree) {
    if (entity->GetTrimmedValue(*this).IsEmpty()) return true;
    if (!entity->ParseValueAs(*this, tree, KTString(u"extSubsetDecl"), node, nullptr)) {
      // Between declarations a parameter entity must hold whole markup
      // declarations (XML 1.0 §2.8, WFC: PE Between Declarations).
      KTString where = entity->external && !entity->notWellFormed.IsEmpty()
                           ? entity->notWellFormed
                           : entity->Describe() + u", referenced at " + PlaceOf(node);
      RefuseDocument(u"the parameter entity %" + entity->name +
                     u"; does not hold whole markup declarations where it is referenced: " + where);
      return false;
    }
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
    RefuseDocument(u"\"" + text + u"\" is not a parameter-entity reference at " + PlaceOf(node));
    return result(ReportError(kSchemaBadSectionOrReference, node, nullptr, text));
  }
  if (!IsParameterEntityReference(text) && IsReferenceList(text)) {
    // Several references between declarations: each stands for whole
    // declarations of its own (XML 1.0 §2.8, WFC: PE Between Declarations),
    // so a declaration begun in one cannot end in the next.
    int position = 0;
    for (KTString reference = text.Tokenize(kBlanks, position); !reference.IsEmpty();
         reference = text.Tokenize(kBlanks, position)) {
      int from = 0;
      while (from < reference.GetLength()) {
        int to = reference.Find(u';', from);
        TextWalk step = WalkReferenceText(node, reference.Mid(from, to + 1 - from), false);
        if (step != TextWalk::kGoOn) return step;
        from = to + 1;
      }
    }
    return TextWalk::kGoOn;
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
  const KTString keyword(SectionKeyword(expanded.View()));
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

// ---- Fatal errors, places and warnings ----

void KTSchemaModel::RefuseDocument(const KTString& why) {
  if (!refusal_.IsEmpty()) return;
  // The reason quotes system identifiers as written; it is shown as it is
  // kept, so credentials in a URL are masked here.
  refusal_ = why.IsEmpty() ? KTString(u"The DTD is not well-formed") : KTTextForMessage(why.View());
  if (refusal_[0] >= u'a' && refusal_[0] <= u'z') {
    refusal_ = KTString(static_cast<char16_t>(refusal_[0] - u'a' + u'A')) + refusal_.Mid(1);
  }
}

KTString KTSchemaModel::LineAndColumn(const KTLineMap& lines, int offset) {
  int line = 0, column = 0;
  if (!lines.Locate(offset, line, column, {KTLineMap::Columns::kUnits, KTLineMap::PairMiddle::kOnNextLine}))
    return KTString();
  KTString position;
  position.Format(u", line %d, column %d", line, column);
  return position;
}

const KTLineMap& KTSchemaModel::LinesOf(const KTDocumentLoader* loader) { return loader->GetLineMap(); }

bool KTSchemaModel::DocumentRefused(KTString& why) const {
  if (refusal_.IsEmpty()) return false;
  why = refusal_;
  return true;
}

void KTSchemaModel::RefuseMalformedDeclaration(KTXNode* node) {
  switch (error_.id) {
    case kSchemaUnusableParameterEntity:
    case kSchemaGroupInMixedContent:
    case kSchemaLateMixedContent:  // "#PCDATA" brought in after other particles
      break;
    case kSchemaExpansionFailed:
      // Not when a bound ended the walk: that is no fault of the syntax.
      if (dtdVisits_ > kMaxDtdVisits || !expansionStopped_.IsEmpty()) return;
      break;
    default:
      return;  // an undeclared entity (a validity matter), or a bound
  }
  // A parameter-entity reference inside a declaration is replaced by its
  // text, and the declaration must then match its production (XML 1.0
  // §4.4.8, §2.8).
  KTString why = u"the declaration at " + PlaceOf(node) +
                 u" does not match the grammar once its parameter-entity references are replaced";
  if (!error_.contextText.IsEmpty()) why += u": " + error_.contextText;
  RefuseDocument(why);
}

void KTSchemaModel::NoteUnreadDtd(const KTString& what) {
  if (unreadDtd_.IsEmpty()) unreadDtd_ = what;
}

KTString KTSchemaModel::PlaceOf(KTXNode* node) {
  // The offset of the place in the text of the tree `at` belongs to.
  int offset = node ? node->GetStartOffset() : -1;
  for (KTXNode* at = node; at && manager_;) {
    KTXNode* top = at;
    while (top->GetParent()) top = top->GetParent();
    if (KTDocumentRecord* record = manager_->FindByDocument(top)) {
      KTDocumentSource* source = record->GetSource();
      KTString place = source && !source->GetUrl().IsEmpty() ? source->GetUrl() : DocumentNameOf(node);
      const KTDocumentLoader* loader = record->GetLoader();
      // An offset past the text the map covers gives no line.
      if (!loader || offset < 0) return place;
      return place + LineAndColumn(LinesOf(loader), offset);
    }
    // The root of a tree parsed from DTD text stands where that text was: a
    // section's body at its own place in the section, any other text (an
    // entity's value) at the node it came from.
    auto parent = fragmentParents_.find(top);
    at = parent == fragmentParents_.end() ? nullptr : parent->second;
    if (!at) break;
    auto base = fragmentOffsets_.find(top);
    if (base != fragmentOffsets_.end() && offset >= 0 && at->GetStartOffset() >= 0) {
      offset = at->GetStartOffset() + base->second + offset;
    } else {
      offset = at->GetStartOffset();
    }
  }
  return DocumentNameOf(node);
}

void KTSchemaModel::WarnAboutDtdProblem(KTXNode* documentRoot) {
  const KTString document = DocumentNameOf(documentRoot);
  const KTString& context = error_.contextText;
  const KTString quoted = u"\"" + context + u"\"";
  KTString text;
  switch (error_.id) {
    case kSchemaLoadFailed:
      if (missingSubsetNode_ && context == missingSubsetId_) {
        text = u"could not read the external DTD subset " + quoted + u" declared in " + document + u": " +
               missingSubsetReason_;
      } else {
        auto reason = unreadReasons_.find(context);
        text = u"could not read the external parameter entity " + quoted + u" named in the DTD of " + document;
        if (reason != unreadReasons_.end()) text += u": " + reason->second;
      }
      break;
    case kSchemaUndeclaredEntity:
      text = u"the DTD of " + document + u" refers to the undeclared entity " + quoted;
      break;
    case kSchemaUnusableParameterEntity:
      text = u"the DTD of " + document + u" uses the parameter entity " + context + u" where its text does not fit";
      break;
    case kSchemaExpansionFailed:
      text = u"entity references in the DTD of " + document + u" could not be expanded";
      if (!context.IsEmpty()) text += u": " + context;
      break;
    case kSchemaBadSectionOrReference:
      text = u"the DTD of " + document + u" holds a conditional section or parameter-entity reference it cannot use";
      if (!context.IsEmpty()) text += u": " + context;
      break;
    case kSchemaUnterminatedReference:
      text = u"the DTD of " + document + u" has an entity reference without its closing ';': " + context;
      break;
    case kSchemaBadExternalKeyword:
      text = u"the external entity " + quoted + u" in the DTD of " + document +
             u" is declared with neither SYSTEM nor PUBLIC";
      break;
    default:
      text = u"a problem in the DTD of " + document;
      if (!context.IsEmpty()) text += u": " + context;
      break;
  }
  if (error_.node && error_.id != kSchemaLoadFailed) text += u" (at " + PlaceOf(error_.node) + u")";
  // System identifiers and document names are quoted as written: a user
  // name and password in one of them shows as "***".
  std::string line =
      "Warning: " + KTUtf16ToUtf8(KTTextForMessage(text.View()).View()) + " [" + std::to_string(error_.id) + "]\n";
  std::fputs(line.c_str(), warningStream_);
  std::fflush(warningStream_);
}

void KTSchemaModel::WarnAboutUnexpandedReference(KTXNode* node, std::u16string_view name) {
  if (unreadDtd_.IsEmpty() || unexpandedWarned_ || !warningStream_) return;
  unexpandedWarned_ = true;
  KTString text = u"the entity reference &" + KTString(name) + u"; in " + DocumentNameOf(node) +
                  u" is left as written: its declaration may be in " + unreadDtd_ + u", which could not be read";
  std::string line = "Warning: " + KTUtf16ToUtf8(KTTextForMessage(text.View()).View()) + " [" +
                     std::to_string(kSchemaUndeclaredEntity) + "]\n";
  std::fputs(line.c_str(), warningStream_);
  std::fflush(warningStream_);
}
