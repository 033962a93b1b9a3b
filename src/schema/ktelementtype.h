// Element declarations of every schema language: KTElementType (a declared
// element or an anonymous compositor) with its content-model particles and
// attribute declarations, and the named complex-type record that element
// types may link to. The schema model owns declared types; a type owns the
// child types it creates.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ktstring.h"
#include "schema/ktdatatype.h"
#include "xml/ktnamespace.h"

class KTXNode;
class KTSchemaModel;
class KTElementType;
class KTComplexTypeDef;
class KTSimpleTypeDef;  // a named XML Schema simple type
class KTIdentityConstraint;

// One content-model entry. The child is a declared element of the model or
// an anonymous compositor owned by the type that created it; never owned here.
struct KTParticle {
  KTElementType* child = nullptr;
  KTElementType* owner = nullptr;
  int32_t minOccurs = 1;
  int32_t maxOccurs = 1;  // -1: unbounded
  bool flag = false;

  void SetMaxOccursUnbounded(bool unbounded) { maxOccurs = unbounded ? -1 : 1; }
};

struct KTAttributeDecl {
  KTQName name;
  std::vector<KTString> enumeratedValues;
  // The declared default (plain or fixed) when `hasDefault`; it may be
  // empty, XML 1.0 §3.3.2: a declared "" supplies an empty attribute, while
  // #REQUIRED and #IMPLIED (and their XML Schema, XDR and DCD kin) give none.
  KTString defaultText;
  bool hasDefault = false;
  KTString description;
  KTXNode* declaringNode = nullptr;
  KTSimpleTypeDef* namedType = nullptr;  // XML Schema: the simple type whose datatype it uses
  KTDatatypeRef datatype;                // shared between copies; empty for DTD declarations
  KTSchemaModel* owner = nullptr;

  void SetDefault(const KTString& value) {
    defaultText = value;
    hasDefault = true;
  }
  // A new reference to the datatype (an empty handle stays empty).
  KTDatatypeRef GetDatatype() const { return datatype; }
  bool required = false, prohibited = false, fixed = false, implied = false;
  bool id = false, idref = false, idrefs = false, entity = false, entities = false;
  bool nmtoken = false, nmtokens = false, notation = false, enumerated = false, qualified = false;

  // Any DTD type but CDATA: its values lose leading and trailing spaces and
  // runs of spaces become one (XML 1.0 §3.3.3).
  bool IsTokenized() const {
    return id || idref || idrefs || entity || entities || nmtoken || nmtokens || notation || enumerated;
  }
};

class KTElementType {
 public:
  KTElementType(const KTQName& name, KTSchemaModel* owner, KTElementType* parent);
  KTElementType(const KTElementType& other);  // deep
  KTElementType& operator=(const KTElementType& other);
  ~KTElementType();

  // ---- Content model ----
  std::vector<KTParticle>& GetParticles();
  std::vector<KTParticle>& GetEffectiveParticles();
  std::list<KTAttributeDecl>& GetAttributeList();
  void AddParticle(KTParticle particle);
  // Room for `count` more particles, taken only while the type has none:
  // a list filled in steps (a group with parameter entities among its
  // particles) grows geometrically instead.
  void ReserveParticles(size_t count) {
    if (particles_.empty()) particles_.reserve(count);
  }
  KTElementType* CreateChildType(const KTQName& name);
  KTElementType* CreateAnonymousChild() { return CreateChildType(KTQName()); }
  bool ContainsParticle(const KTElementType* child);
  // The declaration of a child element by name, nested groups and
  // substitution groups included.
  KTElementType* FindChildElementDecl(const KTQName& name);
  bool HasParticles() { return !GetParticles().empty(); }
  bool HasNoParticles() { return GetParticles().empty(); }
  // A new datatype of that built-in name replaces the type's own.
  void SetDatatypeByName(const KTString& typeName);
  // The type id of the datatype; 53 (unknown) without one.
  int GetDatatypeId() const;
  void ResetContent();

  // ---- Attributes and defaults ----
  // A later declaration of the same name replaces the earlier one.
  void AddAttribute(const KTAttributeDecl& decl);
  // AddAttribute for each of `decls` in order, in time linear in both lists
  // (an attribute group copied into many types must not cost a scan of
  // the target per attribute).
  void AddAttributes(const std::list<KTAttributeDecl>& decls);
  // Appends without looking for the name: for callers that know it is new.
  void AppendAttribute(const KTAttributeDecl& decl) { attributes_.push_back(decl); }
  void AppendAttribute(KTAttributeDecl&& decl) { attributes_.push_back(std::move(decl)); }
  KTAttributeDecl* FindAttribute(const KTQName& name);
  // The attribute declarations with default values and the default (else
  // fixed) text of simple or mixed content; false when there is neither,
  // which also makes every later call return false at once.
  bool CollectDefaultAttributes(std::vector<KTAttributeDecl*>& out, const KTString*& text);
  // Text only, or content of a datatype.
  bool HasSimpleContent() const { return textOnly_ || datatype_.IsValid(); }
  KTDatatypeRef GetDatatype() const { return datatype_; }
  void SetDatatype(const KTDatatypeRef& datatype) { datatype_ = datatype; }
  KTSimpleTypeDef* GetSimpleTypeLink() const { return simpleType_; }
  void SetSimpleTypeLink(KTSimpleTypeDef* link) { simpleType_ = link; }

  // Copies every field; with `deep` also the attributes, the particles and
  // the whole tree of owned child types, re-pointing particles and parent
  // links that lead into that tree to the copies.
  void Assign(const KTElementType& source, bool deep);
  void Reset();

  // ---- Fields the loaders fill ----
  const KTQName& GetName() const { return name_; }
  void SetName(const KTQName& name) { name_ = name; }
  KTSchemaModel* GetModel() const { return owner_; }
  KTElementType* GetParent() const { return parent_; }
  void SetParent(KTElementType* parent) { parent_ = parent; }
  KTXNode* GetDeclaringNode() const { return declaringNode_; }
  void SetDeclaringNode(KTXNode* node) { declaringNode_ = node; }
  KTComplexTypeDef* GetComplexTypeLink() const { return complexType_; }
  void SetComplexTypeLink(KTComplexTypeDef* link) { complexType_ = link; }
  const KTQName& GetSubstitutionGroupHead() const { return substitutionHead_; }
  void SetSubstitutionGroupHead(const KTQName& name) { substitutionHead_ = name; }

  bool IsChoice() const { return choice_; }
  bool IsSequence() const { return sequence_; }
  bool IsEmpty() const { return empty_; }
  bool IsAny() const { return any_; }
  bool IsAll() const { return all_; }
  bool IsMixed() const { return mixed_; }
  bool IsGroup() const { return group_; }
  bool IsTextOnly() const { return textOnly_; }
  bool IsSubstitutionGroupHead() const { return substitutionHeadFlag_; }

  // Flag bytes, set directly by the loaders.
  bool contentRead_ = false, contentDeclared_ = false;
  bool choice_ = false, sequence_ = false, textOnly_ = false;
  bool empty_ = false, any_ = false, all_ = false, mixed_ = false, group_ = false, open_ = false;
  bool abstract_ = false, nillable_ = false, substitutionHeadFlag_ = false;
  bool hasDefaults_ = true;
  bool qualified_ = false;
  int32_t spareWord_ = 0;
  KTString description_;
  KTString valueText_, fixedText_;
  KTString blockText_, finalText_;
  KTString elementWildcard_, attributeWildcard_;
  int32_t elementWildcardProcess_ = 2, attributeWildcardProcess_ = 2;
  // The unique, key and keyref constraints declared inside this element,
  // owned by the model's identity-constraint set.
  std::vector<KTIdentityConstraint*> identityConstraints_;

 private:
  // The child declarations of the content model by name (first in particle
  // order, groups flattened) and its substitution-group heads, built by the
  // first lookup so that the tree builder's lookup per instance element
  // costs neither a walk nor an allocation; dropped when particles change.
  struct ChildIndex {
    struct NameHash {
      size_t operator()(const KTQName& n) const noexcept {
        return std::hash<KTString>()(n.localName) ^ (std::hash<const void*>()(n.ns.Identity()) << 1);
      }
    };
    struct NameEqual {
      bool operator()(const KTQName& a, const KTQName& b) const { return QNameEqual(a, b); }
    };
    std::unordered_map<KTQName, KTElementType*, NameHash, NameEqual> byName;
    std::vector<KTElementType*> heads;
  };
  void BuildChildIndex();
  std::unique_ptr<ChildIndex> childIndex_;
  // The named owned child types by name, so that creating the local
  // elements of a large content model is not quadratic.
  std::unordered_map<KTQName, KTElementType*, ChildIndex::NameHash, ChildIndex::NameEqual> namedChildren_;

  KTSchemaModel* owner_;
  std::vector<KTParticle> particles_;
  std::list<KTAttributeDecl> attributes_;
  KTQName name_;
  KTQName substitutionHead_;
  KTElementType* parent_;
  KTXNode* declaringNode_ = nullptr;
  KTComplexTypeDef* complexType_ = nullptr;
  KTSimpleTypeDef* simpleType_ = nullptr;
  KTDatatypeRef datatype_;
  std::vector<std::unique_ptr<KTElementType>> ownedChildren_;
};

// A named XML Schema simple type: its name, the type it derives from, its
// final text ("#all" spelled out), the simpleType element and the datatype,
// shared with every declaration that uses the type.
class KTSimpleTypeDef {
 public:
  KTSimpleTypeDef() = default;
  KTSimpleTypeDef(const KTQName& name, const KTQName& baseName, KTDatatypeRef datatype)
      : name(name), baseName(baseName), datatype(std::move(datatype)) {}

  KTQName name;
  KTQName baseName;
  KTString finalText;
  KTXNode* definingNode = nullptr;
  KTDatatypeRef datatype;
};

// A named XML Schema complex type: its content model held by value.
class KTComplexTypeDef {
 public:
  KTComplexTypeDef() : contentModel(KTQName(), nullptr, nullptr), baseRecord(nullptr) {}
  KTComplexTypeDef(const KTQName& name, const KTQName& baseName, const KTElementType& contentModel,
                   KTComplexTypeDef* baseRecord)
      : name(name), baseName(baseName), contentModel(contentModel), baseRecord(baseRecord) {}

  KTQName name;
  KTQName baseName;
  KTElementType contentModel;
  KTString blockText, finalText;
  KTXNode* declaringNode = nullptr;
  KTComplexTypeDef* baseRecord;
};
