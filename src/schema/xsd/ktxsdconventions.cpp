// The conventions every XML Schema element loader follows: frame and prefix
// bindings, expansion, other attributes, message texts, occurrence numbers.
#include "schema/xsd/ktxsdloader.h"

#include <utility>

#include "schema/ktdatatype.h"
#include "xml/ktxnode.h"

KTNamespaceId XsdNamespace() {
  static const KTNamespaceId ns = KTNamespaceId::Intern(kXsdNamespaceUri);
  return ns;
}

const KTPrefixBinding* FirstPrefixFor(const KTNamespaceContext& context, KTNamespaceId ns) {
  for (const auto& [prefix, binding] : context.GetBindings()) {
    if (binding.ns == ns) return &binding;
  }
  return nullptr;
}

KTXsdScope::KTXsdScope(KTSchemaModel& model, KTNamespaceContext* parent, KTXNode* element)
    : model_(model), context_(*parent, element) {
  KTXsdLoadState& state = model_.XsdState();
  KTPrefixBinding* bindings[3] = {&state.xsdBinding, &state.secondBinding, &state.targetBinding};
  for (int i = 0; i < 3; ++i) {
    saved_[i] = *bindings[i];
    if (bindings[i]->ns.IsNone()) continue;
    if (const KTPrefixBinding* inScope = FirstPrefixFor(context_, bindings[i]->ns)) {
      bindings[i]->SetPrefix(inScope->prefix.c_str());
    }
  }
  if (++state.depth > KTSchemaModel::kMaxXsdNesting) {
    entered_ = false;
    result_ = model_.ReportError(kSchemaUnexpected, element, nullptr,
                                 KTString(u"- schema elements nested too deeply"));
  }
}

KTXsdScope::~KTXsdScope() {
  KTXsdLoadState& state = model_.XsdState();
  --state.depth;
  // Moved back, not copied: this also runs while an out-of-memory error
  // unwinds, when a copy could not be had.
  state.xsdBinding = std::move(saved_[0]);
  state.secondBinding = std::move(saved_[1]);
  state.targetBinding = std::move(saved_[2]);
}

bool XsdExpandNode(KTSchemaModel& model, KTXNode* node, KTString& name, KTString& value) {
  if (model.ExpandReferences(node, node->GetName(), name) && model.ExpandReferences(node, node->GetValue(), value)) {
    return true;
  }
  model.ReportError(kSchemaExpansionFailed, node, nullptr, KTString());
  return false;
}

bool IsXsdElement(KTNamespaceContext* context, KTXNode* element, const char16_t* local) {
  KTQName name;
  context->GetElementQName(name, element);
  return name.ns == XsdNamespace() && name.localName == local;
}

KTString XsdLocalName(KTNamespaceContext* context, KTXNode* element) {
  KTQName name;
  context->GetElementQName(name, element);
  return name.ns == XsdNamespace() ? name.localName : KTString();
}

KTString XsdExpected(KTSchemaModel& model, std::initializer_list<const char16_t*> names) {
  const KTPrefixBinding& binding = model.XsdState().xsdBinding;
  KTString text(u"- expected: ");
  if (names.size() == 1) return text + binding.QualifiedName(*names.begin(), false);
  text += u"(";
  bool first = true;
  for (const char16_t* name : names) {
    if (!first) text += u" | ";
    first = false;
    text += binding.QualifiedName(name, false);
  }
  text += u")";
  return text;
}

bool XsdOtherAttribute(KTSchemaModel& model, KTNamespaceContext* context, KTXNode* attribute, const KTString& name,
                       const char16_t* expected) {
  std::pair<KTQName, KTQName> qname;
  context->GetAttributeQName(qname, attribute);
  if (!qname.first.ns.IsNone()) {
    if (qname.first.ns != XsdNamespace()) return true;
  } else if (name.Find(u':') == 5 && name.Left(5) == u"xmlns") {
    return true;
  }
  return model.ReportError(kSchemaUnexpected, attribute, nullptr, KTString(expected));
}

KTString XsdDocumentation(KTNamespaceContext* context, KTXNode* annotation, bool* found) {
  if (found) *found = false;
  KTChildIterator it;
  annotation->FirstChildOfKind(it, kElement);
  if (it.IsEnd() || !IsXsdElement(context, it.Node(), u"documentation")) return KTString();
  if (found) *found = true;
  return KTString(it.Node()->GetValue());
}

bool XsdCheckWords(KTSchemaModel& model, KTXNode* attribute, const KTString& value,
                   std::initializer_list<const char16_t*> allowed, const char16_t* expected, bool& allGood) {
  allGood = true;
  bool ok = true;
  int position = 0;
  for (;;) {
    KTString word = value.Tokenize(kXsdWhite, position, u"'\"");
    if (word.IsEmpty()) break;
    bool known = false;
    for (const char16_t* a : allowed) known = known || word == a;
    if (known) continue;
    allGood = false;
    if (!model.ReportError(kSchemaUnexpected, attribute, nullptr, KTString(expected))) ok = false;
  }
  return ok;
}

bool XsdReadUnsigned(const KTString& value, uint32_t& out) {
  const char16_t* p = value.c_str();
  while (*p == u' ' || *p == u'\t' || *p == u'\r' || *p == u'\n') ++p;
  if (*p == u'+') ++p;
  if (*p < u'0' || *p > u'9') return false;
  uint64_t n = 0;
  for (; *p >= u'0' && *p <= u'9'; ++p) {
    n = n * 10 + static_cast<uint64_t>(*p - u'0');
    if (n > kXsdUnbounded) n = kXsdUnbounded;  // saturates: larger counts mean unbounded
  }
  out = static_cast<uint32_t>(n);
  return true;
}

bool XsdReadMaxOccurs(KTSchemaModel& model, KTXNode* attribute, const KTString& value, uint32_t& maximum) {
  if (value == u"unbounded") {
    maximum = kXsdUnbounded;
    return true;
  }
  static const KTDatatype nonNegative(kDtNonNegativeInteger, 52, false);
  if (nonNegative.CheckValue(value, false, false) == kDatatypeValid) {
    XsdReadUnsigned(value, maximum);
    return true;
  }
  return model.ReportError(kSchemaBadValue, attribute, nullptr,
                           KTString(u"- expected: nonNegativeInteger or 'unbounded'"));
}

void XsdReadMinOccurs(const KTString& value, uint32_t& minimum, uint32_t& maximum) {
  XsdReadUnsigned(value, minimum);
  if (maximum < minimum) maximum = minimum;
}

bool XsdReadForm(KTSchemaModel& model, KTXNode* node, bool& qualified) {
  KTChildIterator it;
  bool ok = true;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTString name, value;
    if (!XsdExpandNode(model, it.Node(), name, value)) return false;
    if (!(name == u"form")) continue;
    if (value == u"qualified") {
      qualified = true;
    } else if (value == u"unqualified") {
      qualified = false;
    } else {
      ok = model.ReportError(kSchemaUnexpected, it.Node(), nullptr, KTString(u"- expected: (qualified | unqualified)"));
    }
  }
  return ok;
}
