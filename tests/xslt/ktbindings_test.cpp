// KTBindingScope: a layer read in a line while small and through its name
// table once it holds many bindings; both ways must find the same records.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ktutf8.h"
#include "xslt/ktbindings.h"

namespace {

KTString NameOf(int i) { return KTString(KTUtf8ToUtf16("p" + std::to_string(i)).c_str()); }

KTBindingRecord NumberRecord(double n) {
  KTBindingRecord record;
  record.value = KTXPathValue::Number(n);
  return record;
}

double NumberOf(const KTBindingRecord* record) { return record ? record->value.GetNumber() : -1; }

}  // namespace

// Layers of every size up to well past the point where the name table takes
// over and grows: each name is found with its own value, rebinding a name
// replaces its value in place, and a name never bound is not found.
TEST(BindingScopeTest, EveryNameFoundAtEverySize) {
  for (int size : {1, 4, 8, 9, 16, 17, 40, 200}) {
    KTBindingScope scope;
    // Half the names copied into the layer, half read in place.
    std::vector<KTString> lasting;
    for (int i = 0; i < size; ++i) lasting.push_back(NameOf(i));
    for (int i = 0; i < size; ++i) {
      if (i % 2) scope.BindLasting(lasting[i], NumberRecord(i));
      else scope.Bind(NameOf(i), NumberRecord(i));
    }
    for (int i = 0; i < size; i += 3) scope.Bind(NameOf(i), NumberRecord(1000 + i));
    EXPECT_EQ(scope.Own().size(), static_cast<size_t>(size)) << size;
    for (int i = 0; i < size; ++i)
      EXPECT_EQ(NumberOf(scope.FindOwn(NameOf(i))), i % 3 == 0 ? 1000 + i : i) << size << " p" << i;
    EXPECT_EQ(scope.FindOwn(NameOf(size)), nullptr) << size;
    // Names differing only in length or in their last unit.
    EXPECT_EQ(scope.FindOwn(KTString(u"p")), nullptr) << size;
    EXPECT_EQ(scope.FindOwn(KTString(u"p0x")), nullptr) << size;
  }
}

// Names of one length that differ in a single code unit, at every position
// of names from 1 to 11 units long (the comparison reads four units at a
// time, then the rest one by one): each finds its own record only, looked
// up through a text of its own and not the one it was bound with.
TEST(BindingScopeTest, NamesOfOneLengthToldApartAtEveryPosition) {
  for (size_t length = 1; length <= 11; ++length) {
    KTBindingScope scope;
    const std::u16string base(length, u'a');
    for (size_t at = 0; at < length; ++at) {
      std::u16string name = base;
      name[at] = u'b';
      scope.Bind(KTString(name.c_str()), NumberRecord(static_cast<double>(at)));
    }
    for (size_t at = 0; at < length; ++at) {
      std::u16string name = base;
      name[at] = u'b';
      EXPECT_EQ(NumberOf(scope.Find(KTString(name.c_str()))), static_cast<double>(at)) << length << " " << at;
      name[at] = u'c';
      EXPECT_EQ(scope.Find(KTString(name.c_str())), nullptr) << length << " " << at;
    }
    EXPECT_EQ(scope.Find(KTString(base.c_str())), nullptr) << length;
  }
}

// An inner layer hides an outer binding of the same name and shows the
// others; Clear forgets the inner layer's own bindings only, and the layer
// binds again from empty (a table made before is gone too).
TEST(BindingScopeTest, InnerLayerHidesThenClears) {
  auto outer = std::make_shared<KTBindingScope>();
  for (int i = 0; i < 20; ++i) outer->Bind(NameOf(i), NumberRecord(i));
  KTBindingScope inner(outer);
  for (int i = 10; i < 30; ++i) inner.Bind(NameOf(i), NumberRecord(100 + i));
  EXPECT_EQ(NumberOf(inner.Find(NameOf(5))), 5);
  EXPECT_EQ(NumberOf(inner.Find(NameOf(15))), 115);
  EXPECT_EQ(NumberOf(inner.Find(NameOf(25))), 125);
  EXPECT_EQ(inner.FindOwn(NameOf(5)), nullptr);
  inner.Clear();
  EXPECT_EQ(NumberOf(inner.Find(NameOf(15))), 15);
  EXPECT_EQ(inner.Find(NameOf(25)), nullptr);
  inner.Bind(NameOf(25), NumberRecord(7));
  EXPECT_EQ(inner.Own().size(), 1u);
  EXPECT_EQ(NumberOf(inner.Find(NameOf(25))), 7);
}

// A chain of one-binding layers, as nested frames make: every name is found
// from the innermost layer at its own depth, whether or not it shares its
// length and first and last units with the names of the layers above it
// (the layer's quick reject must never hide a binding), the empty name
// included; a name bound nowhere is found nowhere.
TEST(BindingScopeTest, ChainOfSmallLayersFindsEveryDepth) {
  const std::vector<std::u16string> names = {u"a.x", u"a-x", u"abx", u"b", u"", u"a.y", u"ax", u"x.a", u"a.x.x"};
  std::shared_ptr<KTBindingScope> inner;
  for (size_t i = 0; i < names.size(); ++i) {
    auto layer = std::make_shared<KTBindingScope>(inner);
    layer->Bind(KTString(names[i].c_str()), NumberRecord(static_cast<double>(i)));
    inner = layer;
  }
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(NumberOf(inner->Find(KTString(names[i].c_str()))), static_cast<double>(i)) << i;
  for (const char16_t* absent : {u"a.z", u"aax", u"a", u"x"}) EXPECT_EQ(inner->Find(KTString(absent)), nullptr);
  // A name rebound in the innermost layer hides the outer binding.
  inner->Bind(KTString(u"a-x"), NumberRecord(50));
  EXPECT_EQ(NumberOf(inner->Find(KTString(u"a-x"))), 50);
  EXPECT_EQ(NumberOf(inner->Outer()->Find(KTString(u"a-x"))), 1);
}

// Layers that bind new names after layers were made over them, as a frame
// binds its next variable while an inner frame's layer is alive: each new
// name is found from every layer made before or after it, at every depth,
// and a name bound nowhere stays unfound: no quick reject of a layer may
// rest on what the outer layers held when it was made.
TEST(BindingScopeTest, LateOuterBindingsSeenFromEveryInnerLayer) {
  constexpr int kDepth = 6;
  std::vector<std::shared_ptr<KTBindingScope>> layers;
  for (int d = 0; d < kDepth; ++d) {
    layers.push_back(std::make_shared<KTBindingScope>(d ? layers.back() : nullptr));
    layers.back()->Bind(NameOf(d), NumberRecord(d));
    // Every layer above binds a new name now that this layer sits on it.
    for (int up = 0; up < d; ++up) layers[up]->Bind(NameOf(100 * (up + 1) + d), NumberRecord(100 * (up + 1) + d));
  }
  for (int from = 0; from < kDepth; ++from) {
    for (int d = 0; d <= from; ++d) EXPECT_EQ(NumberOf(layers[from]->Find(NameOf(d))), d) << from << " " << d;
    for (int up = 0; up < from; ++up)
      for (int d = up + 1; d < kDepth; ++d) {
        const int late = 100 * (up + 1) + d;
        EXPECT_EQ(NumberOf(layers[from]->Find(NameOf(late))), late) << from << " p" << late;
      }
    EXPECT_EQ(layers[from]->Find(NameOf(99)), nullptr) << from;
  }
  // A layer made after all the growth sees the same.
  KTBindingScope last(layers.back());
  EXPECT_EQ(NumberOf(last.Find(NameOf(102))), 102);
  EXPECT_EQ(NumberOf(last.Find(NameOf(0))), 0);
  EXPECT_EQ(last.Find(NameOf(99)), nullptr);
}
