// End-to-end tests of what an XML Schema gives a source document, run by the
// program with an identity stylesheet: the defaults supplied (asserted as the
// XML Schema 1.0 clauses cited with each case state them, since xmllint
// validates without adding defaults), the instance's validity as
// `xmllint --schema` judges it at test time, and the warnings printed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

const char* const kIdentity = kKTIdentityStylesheet;

const char* const kXsi = "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"";

struct XsdCase {
  const char* name;
  // src.xml and the schema documents it names.
  std::map<std::string, std::string> files;
  // The schema document xmllint validates src.xml against; empty when
  // xmllint does not cover the case.
  std::string lintSchema;
  // The result without its XML declaration.
  std::string expected;
  // Texts the warnings must hold, "{dir}/" standing for the folder the
  // case runs in (empty: no warning at all).
  std::vector<std::string> warning;
};

std::string Src(const std::string& attributes, const std::string& content, const std::string& root = "doc") {
  return "<" + root + " " + kXsi + " " + attributes + ">" + content + "</" + root + ">\n";
}

std::string Out(const std::string& attributes, const std::string& content, const std::string& root = "doc") {
  if (content.empty()) return "<" + root + " " + kXsi + " " + attributes + "/>";
  return "<" + root + " " + kXsi + " " + attributes + ">" + content + "</" + root + ">";
}

const char* const kNoNs = "xsi:noNamespaceSchemaLocation=\"s.xsd\"";

// A type derived through a chain of `links` forward references, each adding
// an attribute with a default, used by a substitution-group head and a
// member that takes the head's type.
XsdCase ForwardChainCase(int links) {
  std::string xsd = "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
                    "<xs:element name=\"doc\"><xs:complexType><xs:sequence>"
                    "<xs:element ref=\"head\" maxOccurs=\"unbounded\"/></xs:sequence></xs:complexType></xs:element>\n"
                    "<xs:element name=\"head\" type=\"t1\"/>\n<xs:element name=\"member\" substitutionGroup=\"head\"/>\n";
  std::string defaults;
  for (int i = 1; i < links; ++i) {
    const std::string n = std::to_string(i);
    xsd += "<xs:complexType name=\"t" + n + "\"><xs:complexContent><xs:extension base=\"t" + std::to_string(i + 1) +
           "\"><xs:attribute name=\"a" + n + "\" default=\"" + n +
           "\"/></xs:extension></xs:complexContent></xs:complexType>\n";
  }
  const std::string last = std::to_string(links);
  xsd += "<xs:complexType name=\"t" + last + "\"><xs:attribute name=\"a" + last + "\" default=\"" + last +
         "\"/></xs:complexType>\n</xs:schema>\n";
  // A derived type's attribute uses follow its base's.
  for (int i = links; i >= 1; --i) defaults += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  return {"a chain of forward type references settles, and members take the head's type",
          {{"s.xsd", xsd}, {"src.xml", Src(kNoNs, "<head/><member/>")}},
          "s.xsd",
          Out(kNoNs, "<head" + defaults + "/><member" + defaults + "/>"),
          {}};
}

// A pattern whose backtracking would take a long time on a long value: the
// value matches, so its default is supplied.
XsdCase LongPatternValueCase() {
  const std::string value = std::string(700, 'x') + "@" + std::string(700, 'y') + "." + std::string(98, 'z');
  return {"a long default value that matches a pattern with nested repetition",
          {{"s.xsd",
            "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
            "<xs:simpleType name=\"mail\"><xs:restriction base=\"xs:string\"><xs:pattern value=\".*@.*\\..*\"/>"
            "</xs:restriction></xs:simpleType>\n<xs:element name=\"doc\"><xs:complexType>\n"
            "<xs:attribute name=\"m\" type=\"mail\" default=\"" + value + "\"/>\n"
            "<xs:attribute name=\"k\" default=\"K\"/></xs:complexType></xs:element>\n</xs:schema>\n"},
           {"src.xml", Src(kNoNs, "")}},
          "s.xsd",
          Out(std::string(kNoNs) + " m=\"" + value + "\" k=\"K\"", ""),
          {}};
}

std::vector<XsdCase> Cases() {
  return {
      // XML Schema 1.0 Part 2, §4.3.4: a value is pattern-valid when it is
      // in the pattern's language, however long.
      LongPatternValueCase(),
      // XML Schema 1.0 Part 1, §3.15.3 (src-resolve): a reference resolves
      // against every component of the schema, whatever their order, so a
      // base type may follow the types derived from it through any number
      // of links; a substitution-group member without a type has its
      // head's (§3.3.2).
      ForwardChainCase(40),
      // XML Schema 1.0 Part 1, §4.2.3: a schema document imported by one
      // and named again in xsi:schemaLocation is one set of components (the
      // attribute group is a forward reference, settled on a later pass).
      {"a schema both imported and named in schemaLocation loads once",
       {{"a.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:a\" xmlns:a=\"urn:a\"\n"
         " xmlns:b=\"urn:b\" elementFormDefault=\"qualified\">\n"
         "<xs:import namespace=\"urn:b\" schemaLocation=\"b.xsd\"/>\n<xs:element name=\"doc\" type=\"a:T\"/>\n"
         "<xs:complexType name=\"T\"><xs:sequence><xs:element ref=\"b:item\" minOccurs=\"0\"/>\n"
         "</xs:sequence><xs:attributeGroup ref=\"a:g\"/></xs:complexType>\n"
         "<xs:attributeGroup name=\"g\"><xs:attribute name=\"e\" default=\"E\"/></xs:attributeGroup>\n"
         "</xs:schema>\n"},
        {"b.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:b\">\n"
         "<xs:element name=\"item\"><xs:complexType><xs:attribute name=\"f\" default=\"F\"/></xs:complexType>"
         "</xs:element>\n</xs:schema>\n"},
        {"src.xml", Src("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd urn:b b.xsd\"", "<item xmlns=\"urn:b\"/>")}},
       "a.xsd",
       Out("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd urn:b b.xsd\" e=\"E\"",
           "<item xmlns=\"urn:b\" f=\"F\"/>"),
       {}},
      // §3.3.2: an element declaration with no type is of anyType, whose
      // mixed content takes a default (§3.3.6, Element Default Valid).
      {"an element with no type takes its default",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence>\n"
         "<xs:element name=\"p\" default=\"para\" minOccurs=\"0\" maxOccurs=\"unbounded\"/>\n"
         "</xs:sequence><xs:attribute name=\"z\" default=\"Z\"/></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "<p/><p>own</p>")}},
       "s.xsd",
       Out(std::string(kNoNs) + " z=\"Z\"", "<p>para</p><p>own</p>"),
       {}},
      // §3.4.2: a prohibited attribute use is no attribute use of the
      // restricted type, so no default comes with it, by name or by ref.
      {"a prohibited attribute gets no default",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:attribute name=\"g\" default=\"G\"/>\n"
         "<xs:complexType name=\"base\"><xs:attribute name=\"a\" default=\"A\"/><xs:attribute ref=\"g\"/>\n"
         "<xs:attribute name=\"k\" default=\"K\"/></xs:complexType>\n"
         "<xs:complexType name=\"derived\"><xs:complexContent><xs:restriction base=\"base\">\n"
         "<xs:attribute name=\"a\" use=\"prohibited\"/><xs:attribute use=\"prohibited\" ref=\"g\"/>\n"
         "</xs:restriction></xs:complexContent></xs:complexType>\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence><xs:element name=\"b\" type=\"base\"/>\n"
         "<xs:element name=\"d\" type=\"derived\"/></xs:sequence></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "<b/><d/>")}},
       "s.xsd",
       Out(kNoNs, "<b a=\"A\" g=\"G\" k=\"K\"/><d k=\"K\"/>"),
       {}},
      // §3.3.4, Element Locally Valid (Element) clause 5: the default
      // applies to an element with neither element nor character children,
      // and not to a nil one (clause 3.2).
      {"default text goes only to empty elements that are not nil",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence>\n"
         "<xs:element name=\"m\" default=\"D\" minOccurs=\"0\" maxOccurs=\"unbounded\"><xs:complexType mixed=\"true\">"
         "<xs:sequence><xs:element name=\"c\" minOccurs=\"0\"/></xs:sequence></xs:complexType></xs:element>\n"
         "<xs:element name=\"n\" type=\"xs:string\" default=\"N\" nillable=\"true\" minOccurs=\"0\" "
         "maxOccurs=\"unbounded\"/>\n"
         "</xs:sequence></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "<m/><m><c/></m><m>t</m><n/><n xsi:nil=\"true\"/><n xsi:nil=\" 1 \"/>"
                               "<n xsi:nil=\"false\"/>")}},
       "s.xsd",
       Out(kNoNs, "<m>D</m><m><c/></m><m>t</m><n>N</n><n xsi:nil=\"true\"/><n xsi:nil=\" 1 \"/>"
                  "<n xsi:nil=\"false\">N</n>"),
       {}},
      // §3.2.1 and §3.3.1: a value constraint is a value of the type, so it
      // is supplied as the type's whiteSpace facet (Part 2, §4.3.6) leaves it.
      {"default and fixed values are normalised by their type",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:simpleType name=\"r\"><xs:restriction base=\"xs:string\"><xs:whiteSpace value=\"replace\"/>"
         "</xs:restriction></xs:simpleType>\n"
         "<xs:simpleType name=\"l\"><xs:list itemType=\"xs:int\"/></xs:simpleType>\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence>\n"
         "<xs:element name=\"t\" type=\"xs:token\" default=\" x&#10;  y \" minOccurs=\"0\"/>\n"
         "<xs:element name=\"s\" type=\"xs:string\" fixed=\" x&#10;y \" minOccurs=\"0\"/>\n"
         "<xs:element name=\"r\" type=\"r\" default=\"x&#9;y&#10;\" minOccurs=\"0\"/>\n"
         "</xs:sequence>\n<xs:attribute name=\"tok\" type=\"xs:token\" default=\"  a&#10;&#10;  b \"/>\n"
         "<xs:attribute name=\"lst\" type=\"l\" default=\" 1&#9;2 \"/>\n"
         "<xs:attribute name=\"str\" type=\"xs:string\" default=\" a  b \"/>\n"
         "</xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "<t/><s/><r/>")}},
       "s.xsd",
       Out(std::string(kNoNs) + " tok=\"a b\" lst=\"1 2\" str=\" a  b \"",
           "<t>x y</t><s> x\ny </s><r>x y </r>"),
       {}},
      // §3.14.4 (String Valid): a value constraint is normalised by its
      // type's whiteSpace before it is checked, so tabs and line ends in a
      // normalizedString default are spaces, not a lexical fault.
      {"a normalizedString default with tabs and line ends is replaced, then checked",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:simpleType name=\"ns\"><xs:restriction base=\"xs:normalizedString\"/></xs:simpleType>\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence>\n"
         "<xs:element name=\"c\" type=\"ns\" default=\"x&#9;y\" minOccurs=\"0\"/>\n"
         "<xs:element name=\"n\" type=\"xs:normalizedString\" fixed=\"&#13;n&#10;\" minOccurs=\"0\"/>\n"
         "</xs:sequence>\n<xs:attribute name=\"h\" type=\"xs:normalizedString\" default=\"r&#13;s\"/>\n"
         "<xs:attribute name=\"k\" type=\"ns\" default=\"p&#10;q&#9;\"/>\n"
         "</xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "<c/><n/>")}},
       "s.xsd",
       Out(std::string(kNoNs) + " h=\"r s\" k=\"p q \"", "<c>x y</c><n> n </n>"),
       {}},
      // §4.2.1: a schema document without a target namespace included by
      // one with a target namespace takes it, and its unqualified
      // references name components of that namespace.
      {"a chameleon include takes the including namespace",
       {{"a.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:a\" xmlns:a=\"urn:a\"\n"
         " elementFormDefault=\"qualified\">\n<xs:include schemaLocation=\"c.xsd\"/>\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence>\n"
         "<xs:element ref=\"a:item\" minOccurs=\"0\" maxOccurs=\"unbounded\"/></xs:sequence>\n"
         "<xs:attribute name=\"v\" type=\"a:size\" default=\"3\"/></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"c.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" elementFormDefault=\"qualified\">\n"
         "<xs:simpleType name=\"size\"><xs:restriction base=\"xs:int\"/></xs:simpleType>\n"
         "<xs:complexType name=\"itemType\"><xs:attribute name=\"w\" type=\"size\" default=\" 7 \"/>\n"
         "<xs:attributeGroup ref=\"ag\"/></xs:complexType>\n"
         "<xs:attributeGroup name=\"ag\"><xs:attribute name=\"h\" default=\"H\"/></xs:attributeGroup>\n"
         "<xs:element name=\"item\" type=\"itemType\"/>\n</xs:schema>\n"},
        {"src.xml", Src("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd\"", "<item/>")}},
       "a.xsd",
       Out("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd\" v=\"3\"", "<item w=\"7\" h=\"H\"/>"),
       {}},
      // RFC 3986, §5.2.4: "./sub/../b.xsd" and "sub/.././b.xsd" name b.xsd,
      // so the import cycle a -> b -> a and the schemaLocation pair meet
      // documents already loaded (§4.2.3) instead of new copies without end.
      {"a schema named through dot segments is one document",
       {{"a.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:a\" xmlns:b=\"urn:b\"\n"
         " elementFormDefault=\"qualified\">\n<xs:import namespace=\"urn:b\" schemaLocation=\"./sub/../b.xsd\"/>\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence><xs:element ref=\"b:item\" minOccurs=\"0\"/>\n"
         "</xs:sequence><xs:attribute name=\"x\" default=\"X\"/></xs:complexType></xs:element>\n"
         "<xs:element name=\"leaf\"><xs:complexType><xs:attribute name=\"l\" default=\"L\"/></xs:complexType>"
         "</xs:element>\n</xs:schema>\n"},
        {"b.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:b\" xmlns:a=\"urn:a\"\n"
         " elementFormDefault=\"qualified\">\n<xs:import namespace=\"urn:a\" schemaLocation=\"a.xsd\"/>\n"
         "<xs:element name=\"item\"><xs:complexType><xs:sequence><xs:element ref=\"a:leaf\" minOccurs=\"0\"/>"
         "</xs:sequence>\n<xs:attribute name=\"f\" default=\"F\"/></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"sub/folder.txt", "a folder that the paths above pass through\n"},
        {"src.xml", Src("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd urn:b sub/.././b.xsd\"",
                        "<item xmlns=\"urn:b\"><leaf xmlns=\"urn:a\"/></item>")}},
       "a.xsd",
       Out("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd urn:b sub/.././b.xsd\" x=\"X\"",
           "<item xmlns=\"urn:b\" f=\"F\"><leaf xmlns=\"urn:a\" l=\"L\"/></item>"),
       {}},
      // §4.2.1 again: xmlns="" on the included document leaves its
      // unqualified references without a namespace, as no declaration does;
      // they too take the including namespace, through a further include.
      {"a chameleon include that undeclares the default namespace and includes another",
       {{"a.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:a\" xmlns=\"urn:a\"\n"
         " elementFormDefault=\"qualified\">\n<xs:include schemaLocation=\"c.xsd\"/>\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence>\n"
         "<xs:element ref=\"item\" minOccurs=\"0\"/></xs:sequence></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"c.xsd",
         "<xs:schema xmlns=\"\" xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" elementFormDefault=\"qualified\">\n"
         "<xs:include schemaLocation=\"d.xsd\"/>\n"
         "<xs:element name=\"item\"><xs:complexType><xs:attribute name=\"w\" type=\"size\" default=\" 7 \"/>\n"
         "<xs:attributeGroup ref=\"ag\"/></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"d.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:simpleType name=\"size\"><xs:restriction base=\"xs:int\"/></xs:simpleType>\n"
         "<xs:attributeGroup name=\"ag\"><xs:attribute name=\"h\" default=\"H\"/></xs:attributeGroup>\n</xs:schema>\n"},
        {"src.xml", Src("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd\"", "<item/>")}},
       "a.xsd",
       Out("xmlns=\"urn:a\" xsi:schemaLocation=\"urn:a a.xsd\"", "<item w=\"7\" h=\"H\"/>"),
       {}},
      // §3.2.2: an <attribute> with use="prohibited" in an attribute group,
      // or anywhere but a restriction, corresponds to nothing at all, so the
      // base's use and its default stay (§3.4.2, {attribute uses}, clause 3
      // removes only the restriction's own prohibited <attribute>s). A use
      // that refers to a declaration keeps its own value constraint,
      // whichever attribute comes first.
      {"a prohibited use outside a restriction stands for nothing; a use's default beside ref",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:attribute name=\"g\" type=\"xs:string\"/>\n"
         "<xs:attributeGroup name=\"pg\"><xs:attribute name=\"p\" use=\"prohibited\"/></xs:attributeGroup>\n"
         "<xs:complexType name=\"base\"><xs:attribute name=\"p\" default=\"P\"/></xs:complexType>\n"
         "<xs:complexType name=\"viaGroup\"><xs:complexContent><xs:restriction base=\"base\">"
         "<xs:attributeGroup ref=\"pg\"/></xs:restriction></xs:complexContent></xs:complexType>\n"
         "<xs:complexType name=\"extended\"><xs:complexContent><xs:extension base=\"base\">"
         "<xs:attribute name=\"p\" use=\"prohibited\"/></xs:extension></xs:complexContent></xs:complexType>\n"
         "<xs:element name=\"doc\"><xs:complexType><xs:sequence>\n"
         "<xs:element name=\"v\" type=\"viaGroup\"/><xs:element name=\"e\" type=\"extended\"/>\n"
         "<xs:element name=\"r\"><xs:complexType><xs:attribute default=\"R1\" ref=\"g\"/></xs:complexType></xs:element>\n"
         "<xs:element name=\"s\"><xs:complexType><xs:attribute ref=\"g\" default=\"R2\"/></xs:complexType></xs:element>\n"
         "</xs:sequence></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "<v/><e/><r/><s/>")}},
       "s.xsd",
       Out(kNoNs, "<v p=\"P\"/><e p=\"P\"/><r g=\"R1\"/><s g=\"R2\"/>"),
       {}},
      // Schema problems are named by the schema file, line and declaration.
      {"a default its pattern refuses is named by schema file, line and declaration",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:simpleType name=\"mail\"><xs:restriction base=\"xs:string\"><xs:pattern value=\".*@.*\\..*\"/>"
         "</xs:restriction></xs:simpleType>\n<xs:element name=\"doc\"><xs:complexType>\n"
         "<xs:attribute name=\"m\" type=\"mail\"\n default=\"nobody\"/></xs:complexType></xs:element>\n"
         "</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "")}},
       "",
       Out(kNoNs, ""),
       {"Warning: schema problem 7590 in {dir}/s.xsd line 5, attribute \"m\": default=\"nobody\": the default or fixed "
        "value is refused by the facet pattern=\".*@.*\\..*\"\n"}},
      {"an undefined type is named by schema file, line and declaration",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n<xs:element name=\"other\"/>\n"
         "<xs:element name=\"doc\" type=\"nosuch\"/>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "")}},
       "",
       Out(kNoNs, ""),
       {"Warning: schema problem 7537 in {dir}/s.xsd line 3, element \"doc\": type=\"nosuch\": a name that is not "
        "defined"}},
      {"a child element that is not allowed is named beside its declaration",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n<xs:element name=\"doc\"><xs:complexType>\n"
         "<xs:sequence><xs:elemnt name=\"a\"/></xs:sequence></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "")}},
       "",
       Out(kNoNs, ""),
       {"Warning: schema problem 7536 in {dir}/s.xsd line 3, element \"doc\": xs:elemnt: not allowed here; expected: "
        "(xs:annotation | xs:element"}},
      {"a pattern whose counted repetition is absurd is refused in words",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n<xs:simpleType name=\"big\">"
         "<xs:restriction base=\"xs:string\"><xs:pattern value=\"x(ab){1000000000}\"/></xs:restriction>"
         "</xs:simpleType>\n<xs:element name=\"doc\"><xs:complexType><xs:attribute name=\"m\" type=\"big\"/>"
         "</xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "")}},
       "",
       Out(kNoNs, ""),
       {"Warning: schema problem 7547 in {dir}/s.xsd line 2, simpleType \"big\": value=\"x(ab){1000000000}\": the "
        "pattern does not compile: a pattern of at most 32768 states (counted repetitions written out) expected at "
        "position 5\n"}},
      {"definitions that never settle are named",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n<xs:element name=\"doc\" type=\"xs:int\"/>\n"
         "<xs:element name=\"c1\" substitutionGroup=\"c2\"/>\n<xs:element name=\"c2\" substitutionGroup=\"c1\"/>\n"
         "</xs:schema>\n"},
        {"src.xml", Src(kNoNs, "")}},
       "",
       Out(kNoNs, ""),
       {"Warning: schema problem 7537 in {dir}/s.xsd: definitions that do not settle: c1, c2\n"}},
      // A reference that names a schema of another language says so.
      {"an x-schema: namespace naming an XML Schema",
       {{"s.xsd",
         "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n<xs:element name=\"doc\"><xs:complexType>"
         "<xs:attribute name=\"a\" default=\"A\"/></xs:complexType></xs:element>\n</xs:schema>\n"},
        {"src.xml", "<doc xmlns=\"x-schema:s.xsd\"/>\n"}},
       "",
       "<doc xmlns=\"x-schema:s.xsd\"/>",
       {"Warning: schema problem 7529 in {dir}/src.xml: \"s.xsd\" is an XML Schema, where an XDR schema is expected\n"}},
      {"noNamespaceSchemaLocation naming an XDR schema",
       {{"x.xml",
         "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">\n"
         "<ElementType name=\"doc\"/>\n</Schema>\n"},
        {"src.xml", Src("xsi:noNamespaceSchemaLocation=\"x.xml\"", "")}},
       "",
       Out("xsi:noNamespaceSchemaLocation=\"x.xml\"", ""),
       {"\"x.xml\" is an XDR schema, where an XML Schema is expected\n"}},
      {"noNamespaceSchemaLocation naming a schema of the 1999 draft",
       {{"old.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/1999/XMLSchema\"><xs:element name=\"doc\"/></xs:schema>\n"},
        {"src.xml", Src("xsi:noNamespaceSchemaLocation=\"old.xsd\"", "")}},
       "",
       Out("xsi:noNamespaceSchemaLocation=\"old.xsd\"", ""),
       {"Warning: schema problem 7534 in {dir}/src.xml: \"old.xsd\" is an XML Schema of the 1999 draft, where an XML "
        "Schema is expected\n"}},

      // A schema that cannot be read is named with the document that refers
      // to it and the reason; the document is used without it.
      {"a schema location naming no file",
       {{"src.xml", Src(kNoNs, "")}},
       "",
       Out(kNoNs, ""),
       {"Warning: could not read the schema \"s.xsd\" named in {dir}/src.xml: no such file or directory [7509]\n"}},
      {"a schema that is not well-formed",
       {{"s.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"},
        {"src.xml", Src(kNoNs, "")}},
       "",
       Out(kNoNs, ""),
       {"Warning: could not read the schema \"s.xsd\" named in {dir}/src.xml: {dir}/s.xsd, line 2, column 1: "}},
      // A DTD named where an XML Schema is expected is read as the DTD it is.
      {"noNamespaceSchemaLocation naming a DTD",
       {{"d.dtd", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- the document -->\n<!ELEMENT doc ANY>\n"
                  "<!ATTLIST doc a CDATA \"A\">\n"},
        {"src.xml", Src("xsi:noNamespaceSchemaLocation=\"d.dtd\"", "")}},
       "",
       Out("xsi:noNamespaceSchemaLocation=\"d.dtd\" a=\"A\"", ""),
       {}},
  };
}

TEST(XsdProgramTest, DefaultsFollowTheSchemaRules) {
  const bool haveXmllint = std::system("/usr/bin/xmllint --version >/dev/null 2>&1") == 0;
  for (const XsdCase& c : Cases()) {
    KTScratchFolder folder;
    for (const auto& [name, bytes] : c.files) folder.Write(name, bytes);
    folder.Write("id.xsl", kIdentity);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_EQ(ours.status, 0) << c.name << ": " << ours.err;
    EXPECT_EQ(KTWithoutDeclaration(folder.Read("ours.out")), c.expected + "\n") << c.name;
    if (c.warning.empty()) {
      EXPECT_EQ(ours.err.find("Warning"), std::string::npos) << c.name << ": " << ours.err;
    }
    for (std::string part : c.warning) {
      for (size_t dir = part.find("{dir}/"); dir != std::string::npos; dir = part.find("{dir}/", dir))
        part.replace(dir, 6, folder.Path() + "/");
      EXPECT_NE(ours.err.find(part), std::string::npos) << c.name << ": " << ours.err;
    }
    if (haveXmllint && !c.lintSchema.empty()) {
      KTProgramResult lint =
          KTRunProgram("/usr/bin/xmllint", {"--noout", "--schema", c.lintSchema, "src.xml"}, folder.Path());
      EXPECT_EQ(lint.status, 0) << c.name << ": " << lint.err;
      EXPECT_NE(lint.err.find("src.xml validates"), std::string::npos) << c.name << ": " << lint.err;
    }
  }
}

}  // namespace
