// Entity and notation declarations, entity values and the expansion of
// entity references in texts.
#include "schema/ktentitydecl.h"

#include <string>

#include "platform/ktwchar.h"
#include "schema/ktschemamodel.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

namespace {

constexpr const char16_t* kBlanks = u" \t\r\n";

bool StartsWith(const KTString& text, const char16_t* prefix) {
  return KTStrNCmp(text.c_str(), prefix, KTStrLen(prefix)) == 0;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// The declared text of an entity or notation node with its parameter
// references (and general references) expanded. An external identifier's
// literals hold no references: a '%' in a system or public literal is a
// character like any other (XML 1.0 §2.3, §4.4).
bool ExpandDeclarationText(KTSchemaModel& model, KTXNode* node, KTString& text, bool trimmedValues) {
  const char16_t* written = node->GetValue();
  if (!written) written = u"";
  const char16_t* start = written;
  while (IsBlank(*start)) ++start;
  // No reference: the text as written (the expansion would copy it whole).
  if (KTStrNCmp(start, u"SYSTEM", 6) == 0 || KTStrNCmp(start, u"PUBLIC", 6) == 0 || !KTStrChr(start, u'%')) {
    text = written;
    return true;
  }
  return model.ExpandEntityReferences(node, node->GetValue(), text, true, trimmedValues, false);
}

// Whether the value is one token: no blank and none of ( | , % = < > ' " in it.
bool IsSingleToken(std::u16string_view text) {
  for (const char16_t c : text) {
    switch (c) {
      case u' ': case u'\t': case u'\r': case u'\n': case u'(': case u'|': case u',': case u'%':
      case u'=': case u'<': case u'>': case u'\'': case u'"':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

void ExpandCharacterReferences(KTString& text) { text.ResolveCharRefs(); }

// ---- KTEntityDecl ----

KTEntityDecl::KTEntityDecl(const KTString& name) : name(name) {}
KTEntityDecl::~KTEntityDecl() = default;

const KTString& KTEntityDecl::GetTrimmedValue(KTSchemaModel& model) {
  if (trimmedValue.IsEmpty()) {
    trimmedValue = GetEntityValue(*this, model);
    trimmedValue.TrimLeft().TrimRight();
  }
  return trimmedValue;
}

KTString KTEntityDecl::Describe() const {
  KTString collapsed = value;
  collapsed.CollapseChars(kBlanks, u' ');
  KTString text = u"'" + name + u"' (" + collapsed;
  if (text.GetLength() > 50) text = text.Left(48) + u"...";
  return text + u")";
}

void KTEntityDecl::DropParsedValue() {
  if (external) return;
  ownedParsed.reset();
  parsedValue = nullptr;
}

namespace {

KTString BudgetExceeded(const KTString& name, int64_t budget) {
  std::string count = std::to_string(budget);
  return u"&" + name + u"; would make the document's entities expand to more than " +
         KTString(std::u16string(count.begin(), count.end()).c_str()) + u" characters";
}

enum class GroupKind { kSequence, kChoice, kMixed };

void MarkGroup(KTElementType* type, GroupKind kind) {
  if (!type) return;
  if (kind == GroupKind::kMixed && type->IsGroup() && type->GetName().localName.IsEmpty() && type->GetParent()) {
    type = type->GetParent();  // an anonymous compositor: its element is mixed
  }
  type->sequence_ = kind == GroupKind::kSequence;
  type->choice_ = kind == GroupKind::kChoice;
  type->mixed_ = kind == GroupKind::kMixed;
}

bool GroupOfRule(const KTString& rule, GroupKind& kind) {
  if (rule == u"elementSeqI") {
    kind = GroupKind::kSequence;
  } else if (rule == u"elementChoiceI") {
    kind = GroupKind::kChoice;
  } else if (rule == u"elementMixedI") {
    kind = GroupKind::kMixed;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool KTEntityDecl::ParseValueAs(KTSchemaModel& model, KTXNode*& root, const KTString& rule, KTXNode* contextNode,
                                KTElementType* type) {
  root = parsedValue;
  bool groupAsked = rule == u"elementChoiceI" || rule == u"elementSeqI";
  if (root && !(parseRule == rule)) {
    GroupKind cached = GroupKind::kSequence;
    if (groupAsked && GroupOfRule(parseRule, cached)) {
      MarkGroup(type, cached);
    } else {
      root = nullptr;
    }
  }
  if (root) return true;
  if (model.IsActive(this)) {
    // The entity is being read right now: a reference to it inside its own
    // text is refused (and its tree in use is never replaced).
    return model.ReportError(kSchemaUnusableParameterEntity, contextNode, type, Describe());
  }

  const KTString& text = GetEntityValue(*this, model);
  KTString usedRule = rule;
  const bool definitions = rule == u"attlistText";
  // Definitions are read by the model's own reader where it can (the text
  // up to a NUL, as ParseFragment reads it).
  std::unique_ptr<KTXNode> tree = definitions ? model.ParseAttlistText(std::u16string_view(text.c_str()), declaringNode)
                                              : model.ParseFragment(text, rule, declaringNode);
  bool noParticles = !type || !type->HasParticles();
  if (!tree && noParticles && groupAsked) {
    // A parameter entity may hold a group of another kind than the place
    // of reference expects: try the others in turn.
    static const char16_t* const kAfterChoice[] = {u"elementMixedI", u"elementSeqI"};
    static const char16_t* const kAfterSequence[] = {u"elementChoiceI", u"elementMixedI"};
    const char16_t* const* others = rule == u"elementChoiceI" ? kAfterChoice : kAfterSequence;
    for (int i = 0; i < 2 && !tree; ++i) {
      tree = model.ParseFragment(text, others[i], declaringNode);
      if (tree) {
        usedRule = others[i];
        GroupKind kind = GroupKind::kSequence;
        GroupOfRule(usedRule, kind);
        MarkGroup(type, kind);
      }
    }
  }
  if (!tree && definitions) {
    value.TrimLeft(kBlanks);
    tree = model.ParseAttlistText(std::u16string_view(value.c_str()), declaringNode);
  }
  if (!tree) {
    return model.ReportError(kSchemaUnusableParameterEntity, contextNode, type, Describe());
  }
  ownedParsed = std::move(tree);
  parsedValue = ownedParsed.get();
  parseRule = usedRule;
  root = parsedValue;
  return true;
}

// ---- Readers ----

bool ParseEntityDecl(KTSchemaModel& model, KTXNode* node) {
  if (!node) return model.ReportError(kSchemaMissingNode, nullptr, nullptr, KTString());
  const char16_t* written = node->GetName();
  if (!written) written = u"";
  bool parameter = written[0] == u'%';
  if (parameter) {
    ++written;
    while (IsBlank(*written)) ++written;
  }
  KTString name(written);
  bool added = false;
  KTEntityDecl* record = model.FindOrDeclareEntity(name, parameter, added);
  if (!added) {
    // "lt" and "amp" keep their predefined values: their replacement must
    // stay a character reference (XML 1.0 §4.6).
    if (!parameter && (name == u"lt" || name == u"amp")) return true;
    if (model.GetCurrentPass() >= 2 && record->predeclared) {
      record->declaredThisPass = true;
      return true;
    }
    if (record->declaredThisPass) return true;  // the first declaration in a pass wins
  }

  KTString text;
  if (!ExpandDeclarationText(model, node, text, true)) return false;
  // XML 1.0 §2.11 and §4.5: line ends of the literal read as LF, then its
  // character references resolve (so "&#13;" stays a CR); general references
  // stay for the place of use.
  if (KTFindUnit(text.c_str(), static_cast<size_t>(text.GetLength()), u'\r')) text.NormalizeLineEnds(u"\n");
  ExpandCharacterReferences(text);
  // The value is cut out of the text once: blanks around it go (a reference
  // outside the literal may bring spaces), then the literal's quotes.
  std::u16string_view literal = text.View();
  while (!literal.empty() && IsBlank(literal.front())) literal.remove_prefix(1);
  while (!literal.empty() && IsBlank(literal.back())) literal.remove_suffix(1);

  record->external = literal.starts_with(u"PUBLIC") || literal.starts_with(u"SYSTEM");
  const size_t n = literal.size();
  if (!record->external && n >= 2 && literal[0] == literal[n - 1] && (literal[0] == u'"' || literal[0] == u'\'')) {
    literal = literal.substr(1, n - 2);
  }
  record->singleToken = IsSingleToken(literal);
  record->parameter = parameter;
  if (parameter) {
    // Padded with one blank each side, built in one block.
    KTString padded;
    int length = 0;
    const int count = static_cast<int>(literal.size());
    padded.AppendAtLength(u" ", length, count + 2, 1);
    padded.AppendAtLength(literal.data(), length, 16, count);
    padded.AppendAtLength(u" ", length, 16, 1);
    record->value = std::move(padded);
  } else if (literal.size() == static_cast<size_t>(text.GetLength())) {
    record->value = std::move(text);
  } else {
    record->value = KTString(literal);
  }
  record->trimmedValue = KTString();
  record->declaringNode = node;
  record->declaredThisPass = true;
  return true;
}

bool ParseNotationDecl(KTSchemaModel& model, KTXNode* node) {
  if (!node) return model.ReportError(kSchemaMissingNode, nullptr, nullptr, KTString());
  KTString text;
  if (!ExpandDeclarationText(model, node, text, false)) return false;
  ExpandCharacterReferences(text);
  KTEntityDecl* record = model.DeclareNotation(KTString(node->GetName()));
  record->external = StartsWith(text, u"PUBLIC") || StartsWith(text, u"SYSTEM");
  record->value = text;
  record->trimmedValue = KTString();
  record->declaringNode = node;
  record->declaredThisPass = true;
  return true;
}

// ---- Values ----

namespace {

// The text of an external entity's loaded document, as its replacement text.
void WriteReplacementText(KTEntityDecl& record) {
  record.replacementPending = false;
  // No line ends of the writer's own: they would add text to the content.
  KTWriteOptions options{.emptyTag = false, .lineEnd = u"", .omitDeclaration = true};
  KTString text;
  int length = 0;
  record.parsedValue->WriteText(text, length, -1, options);
  record.replacementText = record.parameter ? u" " + text + u" " : text;
}

}  // namespace

const KTString& GetEntityValue(KTEntityDecl& record, KTSchemaModel& model) {
  if (!record.external) return record.value;
  if (!record.loaded && record.mayLoad) LoadExternalEntity(record, model);
  if (record.loaded && record.replacementPending) WriteReplacementText(record);
  return record.loaded ? record.replacementText : record.value;
}

bool LoadExternalEntity(KTEntityDecl& record, KTSchemaModel& model) {
  if (!record.external) return model.ReportError(kSchemaMalformedDecl, record.declaringNode, nullptr, KTString());
  if (!record.mayLoad) return model.ReportError(kSchemaLoadFailed, record.declaringNode, nullptr, record.name);
  int position = 0;
  KTString keyword = record.value.Tokenize(kBlanks, position, u"'\"");
  if (!(keyword == u"SYSTEM") && !(keyword == u"PUBLIC")) {
    return model.ReportError(kSchemaBadExternalKeyword, record.declaringNode, nullptr, record.name);
  }
  KTString idText = record.value.Mid(keyword.GetLength() + 1);
  KTString systemId;
  KTXNode* root = model.LoadExternalSubset(keyword, idText, record.declaringNode, record.parameter, &systemId,
                                           !record.parameter);
  const KTString reference = (record.parameter ? u"%" : u"&") + record.name + u";";
  if (!root && !record.parameter) {
    // An external parsed entity that is referenced must be read, and be
    // well-formed content (XML 1.0 §4.3.2): the document cannot be used
    // without it.
    const KTLoadStatus& failure = model.GetLastLoadFailure();
    model.RefuseDocument(u"the external entity " + reference + u" (\"" + systemId + u"\") " +
                         (KTSchemaModel::IsNotWellFormed(failure) ? KTString(u"is not well-formed: ")
                                                                  : KTString(u"cannot be read: ")) +
                         KTSchemaModel::DescribeLoadFailure(failure, model.GetLastLoadUrl()));
  }
  if (!root && record.parameter) {
    // Not declarations: a content model or the text of an entity value,
    // which only its replacement text serves. Where it stands between
    // declarations the walk refuses it with this reason.
    const KTLoadStatus& failure = model.GetLastLoadFailure();
    bool readButRefused = KTSchemaModel::IsNotWellFormed(failure);
    KTString reason = KTSchemaModel::DescribeLoadFailure(failure, model.GetLastLoadUrl());
    if (readButRefused) record.notWellFormed = reason;
    KTString text, why;
    bool textRefused = false;
    if (readButRefused && model.ReadExternalText(systemId, record.declaringNode, text, &why, &textRefused)) {
      record.parsedValue = nullptr;
      record.loaded = true;
      record.replacementPending = false;
      record.replacementText = u" " + text + u" ";
      record.trimmedValue = KTString();
      return true;
    }
    if (readButRefused && textRefused) {
      // Bytes or characters XML does not allow, or a malformed text
      // declaration: a well-formedness error wherever the entity is used.
      model.RefuseDocument(u"the external parameter entity " + reference + u" (\"" + systemId +
                           u"\") is not well-formed: " + (why.IsEmpty() ? reason : why));
    } else {
      // Like an external subset that cannot be read, a warning: the
      // declarations it would have made are missing.
      if (readButRefused) reason = why;
      model.NoteUnreadReason(systemId, reason);
      model.NoteUnreadDtd(u"the external parameter entity " + reference + u" (\"" + systemId + u"\")");
    }
    model.ReportError(kSchemaLoadFailed, record.declaringNode, nullptr, systemId);
  }
  if (!root) {
    record.mayLoad = false;
    return false;
  }
  record.parsedValue = root;
  record.loaded = true;
  record.replacementText = KTString();
  record.replacementPending = true;
  // A parameter entity of declarations is mostly walked as its tree: its
  // text (a whole DTD module) is written only when a value is asked for.
  if (!record.parameter) WriteReplacementText(record);
  record.trimmedValue = KTString();
  return true;
}

// ---- Expansion ----

const char16_t* KTSchemaModel::CopyUnterminatedReference(KTXNode* node, const char16_t* start,
                                                         const char16_t* end, KTString& result, int& length) {
  // No closing ';': the reference is reported and copied as written, with the
  // character that ended it.
  KTString name;
  name.Assign(start + 1, static_cast<int>(end - start - 1));
  ReportError(kSchemaUnterminatedReference, node, nullptr, name);
  constexpr int kGrowBy = 16;
  int count = static_cast<int>(end - start) + (*end ? 1 : 0);
  result.AppendAtLength(start, length, kGrowBy, count);
  return start + count;
}

bool KTSchemaModel::ExpandEntityReferences(KTXNode* node, const char16_t* text, KTString& out, bool parameterRefs,
                                           bool trimmedValues, bool countExpansions) {
  if (!text) text = u"";
  KTString result;
  int length = 0;
  // The result often becomes a node's own value for the life of the view:
  // it grows geometrically from a small step, so that a short text keeps a
  // short block (a fixed large step cost tens of kilobytes per text).
  constexpr int kGrowBy = 16;
  bool reported = false;
  int expansions = 0;
  // In declaration texts only parameter references are expanded: general
  // references there are bypassed and expand where the entity is used
  // (XML 1.0 §4.4.7), so "&amp;lt;" in a literal still means "&lt;".
  // Character references are the caller's; a '%' before a blank is text.
  const char16_t refChar = parameterRefs ? u'%' : u'&';
  auto isText = [refChar](const char16_t* at) {
    char16_t c = *at;
    return c != refChar || (c == u'&' && at[1] == u'#') || (c == u'%' && IsBlank(at[1]));
  };
  const char16_t* p = text;
  while (*p) {
    char16_t c = *p;
    if (isText(p)) {
      // The run of text up to the next reference goes over in one append.
      const char16_t* run = p;
      do ++p;
      while (*p && isText(p));
      result.AppendAtLength(run, length, kGrowBy, static_cast<int>(p - run));
      continue;
    }
    const char16_t* start = p;
    const char16_t* nameStart = p + 1;
    const char16_t* q = nameStart;
    while (*q && *q != u';' && !IsBlank(*q)) ++q;
    if (*q != u';') {
      // The end of the text ends the expansion.
      reported = true;
      p = CopyUnterminatedReference(node, start, q, result, length);
      if (!*q) break;
      continue;
    }
    // The name is looked up in place; a copy is made only for a report.
    const std::u16string_view nameView(nameStart, static_cast<size_t>(q - nameStart));
    int refLength = static_cast<int>(q - start) + 1;
    KTEntityDecl* record = FindEntity(nameView, c == u'%');
    if (!record) {
      const KTString name(nameView);
      if (!parameterRefs) {
        // Content and attribute values: the reference stays as written and
        // the problem is recorded, whatever the pass.
        reported = true;
        WarnAboutUnexpandedReference(node, nameView);
        ReportError(kSchemaUndeclaredEntity, node, nullptr, name);
        result.AppendAtLength(start, length, kGrowBy, refLength);
      } else if (currentPass_ <= 1) {
        RequestAnotherPass();  // declared later in the DTD: the next pass has it
      } else {
        reported = true;
        ReportError(kSchemaUndeclaredEntity, node, nullptr, name);
        result.AppendAtLength(start, length, kGrowBy, refLength);
      }
      p = q + 1;
      continue;
    }
    if (record->external && !record->loaded && !LoadExternalEntity(*record, *this)) {
      // An external entity that cannot be read stays a reference rather
      // than turning into its SYSTEM text.
      reported = true;
      result.AppendAtLength(start, length, kGrowBy, refLength);
      p = q + 1;
      continue;
    }
    const KTString& padded = GetEntityValue(*record, *this);
    // In an entity declaration a parameter entity's text goes in without the
    // spaces that pad it between declarations (XML 1.0 §4.4.5, §4.4.8).
    bool unpad = trimmedValues && record->parameter && padded.GetLength() >= 2 && padded[0] == u' ' &&
                 padded[padded.GetLength() - 1] == u' ';
    const char16_t* valueText = padded.c_str() + (unpad ? 1 : 0);
    int valueLength = padded.GetLength() - (unpad ? 2 : 0);
    if (!HasExpansionRoom(valueLength)) {
      // The document's entities would grow past its budget: stop here and
      // keep the rest of the text as written.
      reported = true;
      const KTString name(nameView);
      NoteExpansionStopped(BudgetExceeded(name, expansionBudget_));
      ReportError(kSchemaExpansionFailed, node, nullptr, name);
      result.AppendAtLength(start, length, kGrowBy);
      break;
    }
    expandedChars_ += valueLength;
    result.AppendAtLength(valueText, length, kGrowBy, valueLength);
    ++expansions;
    p = q + 1;
  }
  out = std::move(result);
  if (!reported) return true;
  return countExpansions && expansions > 0;
}

bool KTSchemaModel::ExpandReferences(KTXNode* node, const char16_t* text, KTString& out) {
  if (!text || !KTStrChr(text, u'&')) {
    out = text;
    return true;
  }
  if (!ExpandEntityReferences(node, text, out, false, false, false)) return false;
  ExpandCharacterReferences(out);
  return true;
}

bool KTSchemaModel::ExpandReferencesFully(KTXNode* node, const char16_t* text, KTString& out) {
  if (!text || !KTStrChr(text, u'&')) {
    out = text;
    return true;
  }
  struct Frame {
    const char16_t* p;
    const KTEntityDecl* entity;  // null for the text itself
  };
  constexpr int kGrowBy = 16;
  KTString result;
  int length = 0;
  bool reported = false;
  std::vector<Frame> stack;
  stack.push_back({text, nullptr});
  auto active = [&stack](const KTEntityDecl* record) {
    for (const Frame& f : stack) {
      if (f.entity == record) return true;
    }
    return false;
  };
  while (!stack.empty()) {
    const char16_t*& p = stack.back().p;
    if (!*p) {
      stack.pop_back();
      continue;
    }
    char16_t c = *p;
    if (c != u'&' || p[1] == u'#') {
      // Character references are resolved once the whole text is built. A
      // white-space character of an entity's text reads as a space (XML 1.0
      // §3.3.3); the default's own were turned into spaces before.
      if (stack.back().entity != nullptr && (c == u'\t' || c == u'\r' || c == u'\n')) c = u' ';
      result.AppendCharAtLength(c, length, kGrowBy);
      ++p;
      continue;
    }
    const char16_t* start = p;
    const char16_t* nameStart = p + 1;
    const char16_t* q = nameStart;
    while (*q && *q != u';' && !IsBlank(*q)) ++q;
    if (*q != u';') {
      reported = true;
      p = CopyUnterminatedReference(node, start, q, result, length);
      continue;
    }
    KTString name;
    name.Assign(nameStart, static_cast<int>(q - nameStart));
    int refLength = static_cast<int>(q - start) + 1;
    p = q + 1;
    KTEntityDecl* record = FindGeneralEntity(name);
    if (!record) {
      reported = true;
      ReportError(kSchemaUndeclaredEntity, node, nullptr, name);
      result.AppendAtLength(start, length, kGrowBy, refLength);
      continue;
    }
    if (record->external && !record->loaded && !LoadExternalEntity(*record, *this)) {
      reported = true;
      result.AppendAtLength(start, length, kGrowBy, refLength);
      continue;
    }
    const KTString& value = GetEntityValue(*record, *this);
    int valueLength = value.GetLength();
    if (active(record) || static_cast<int>(stack.size()) > kMaxDtdNesting ||
        !HasExpansionRoom(valueLength)) {
      // A recursive or too deep entity, or past the document's budget: the
      // reference stays as written and the expansion ends here.
      reported = true;
      if (active(record))
        NoteExpansionStopped(u"recursive entity reference &" + name + u";");
      else if (static_cast<int>(stack.size()) > kMaxDtdNesting)
        NoteExpansionStopped(u"entity nesting too deep at &" + name + u";");
      else
        NoteExpansionStopped(BudgetExceeded(name, expansionBudget_));
      ReportError(kSchemaExpansionFailed, node, nullptr, name);
      result.AppendAtLength(start, length, kGrowBy, refLength);
      break;
    }
    expandedChars_ += valueLength;
    stack.push_back({value.c_str(), record});
  }
  ExpandCharacterReferences(result);
  out = std::move(result);
  return !reported;
}
