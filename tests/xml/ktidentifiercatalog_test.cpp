// The identifier catalog: exact public and system entries, longest-prefix
// rewriting, and locations that match nothing coming back untouched.
#include "xml/ktidentifiercatalog.h"

#include <gtest/gtest.h>

#include "platform/ktutf8.h"

namespace {

// The program never adds entries; a test catalog fills the maps directly.
class FilledCatalog : public KTIdentifierCatalog {
 public:
  FilledCatalog() {
    publicMap_[KTString(u"-//Acme//DTD Note//EN")] = KTString(u"/dtds/note.dtd");
    systemMap_[KTString(u"http://example.org/note.dtd")] = KTString(u"/mirror/note.dtd");
    prefixMap_[KTString(u"/old/")] = KTString(u"/new/");
    prefixMap_[KTString(u"/old/sub/")] = KTString(u"/e/");
    prefixMap_[KTString(u"")] = KTString(u"/never/");
  }
};

std::string Resolve(const KTIdentifierCatalog& catalog, const char16_t* publicId, const char16_t* location) {
  KTString result;
  catalog.Resolve(result, publicId, location);
  return KTUtf16ToUtf8(result.View());
}

TEST(IdentifierCatalog, ResolvesByTable) {
  FilledCatalog catalog;
  struct Case {
    const char16_t* publicId;
    const char16_t* location;
    const char* expected;
  } cases[] = {
      // An exact public identifier wins over the location.
      {u"-//Acme//DTD Note//EN", u"/x/y.dtd", "/dtds/note.dtd"},
      // An identifier found in the system map.
      {u"http://example.org/note.dtd", u"/x/y.dtd", "/mirror/note.dtd"},
      // A public id that matches nothing falls back to the location.
      {u"-//Other//EN", u"/x/y.dtd", "/x/y.dtd"},
      // An empty public id goes straight to the prefix rewrite.
      {u"", u"/old/a.dtd", "/new/a.dtd"},
      {nullptr, u"/old/a.dtd", "/new/a.dtd"},
      // The longest prefix wins; the rest comes back normalised.
      {nullptr, u"\\old\\sub\\x.DTD", "/e/x.DTD"},
      // Locations are case-sensitive (POSIX): no prefix matches.
      {nullptr, u"/Old/a.dtd", "/Old/a.dtd"},
      // Without a match the location comes back exactly as given.
      {nullptr, u"C:\\Data\\a.xml", "C:\\Data\\a.xml"},
      // A URL's scheme and host compare without case.
      {nullptr, u"HTTP://Example.ORG/note.dtd", "/mirror/note.dtd"},
      {nullptr, nullptr, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Resolve(catalog, c.publicId, c.location), c.expected)
        << "location " << (c.location ? KTUtf16ToUtf8(c.location) : "(null)");
}

TEST(IdentifierCatalog, EmptyCatalogChangesNothing) {
  KTIdentifierCatalog catalog;
  EXPECT_EQ(Resolve(catalog, u"-//Acme//DTD Note//EN", u"a\\B.xml"), "a\\B.xml");
  KTString result;
  catalog.RewriteByPrefix(result, u"http://Host/X.xml");
  EXPECT_EQ(KTUtf16ToUtf8(result.View()), "http://Host/X.xml");
}

}  // namespace
