// KTResultSerializer: turns the result tree (KTXPathNode, src/xml) into the
// whole output text of a run by the xml, html or text output method. It
// writes no bytes: the front end encodes the text in GetEncodingId() and
// writes the file. The processor owns one, sets the result root and calls
// Serialize with its KTOutputSettings; see docs/ARCHITECTURE.md.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "xslt/output/kthtmlvocabulary.h"
#include "xslt/output/ktoutputencoding.h"
#include "xslt/output/ktoutputerror.h"
#include "xslt/output/ktoutputsettings.h"

class KTXPathNode;

// Takes the output text in pieces while Serialize runs, instead of the whole
// text at the end (see KTResultSerializer::SetOutputSink).
class KTOutputSink {
 public:
  virtual ~KTOutputSink() = default;
  // Once per Serialize that writes, before any text: the encoding the text is
  // prepared for (GetEncodingId) and the byte order its name states.
  virtual void BeginOutput(int encodingId, int byteOrder) = 0;
  virtual void WriteOutput(const char16_t* text, size_t length) = 0;
};

class KTResultSerializer {
 public:
  // How the XML writer lays out a node: a line break and indentation before
  // it, and whether its children may be indented (no text among them or
  // among the children of any element above).
  struct XmlFlags {
    bool lineBreak = false;
    bool format = false;
  };

  KTResultSerializer();
  virtual ~KTResultSerializer();
  KTResultSerializer(const KTResultSerializer&) = delete;
  KTResultSerializer& operator=(const KTResultSerializer&) = delete;

  // Borrowed; the processor hands over its result root before Serialize.
  void SetResultRoot(const KTXPathNode* root) { resultRoot_ = root; }
  const KTXPathNode* GetResultRoot() const { return resultRoot_; }
  // The encoding named when xsl:output names none ("UTF-8").
  void SetDefaultEncoding(const KTString& name) { defaultEncoding_ = name; }

  // The whole output text, valid until the next Serialize or the
  // serialiser's end. Unchanged output when no result root is set. Throws
  // KTOutputError for a character that the output encoding cannot hold where
  // no character reference may stand.
  // With an output sink set, the text goes to the sink in pieces as it is
  // written (the whole text never builds up), and Serialize returns an empty
  // text; when Serialize throws, the sink has had part of the output.
  const char16_t* Serialize(const KTOutputSettings& settings);
  // Borrowed; null: the whole text is returned by Serialize.
  void SetOutputSink(KTOutputSink* sink) { sink_ = sink; }
  int GetOutputLength() const { return outputLength_; }
  void ClearOutput();

  // The settings of the last Serialize, its method filled in when the default
  // rule chose it; the processor's GetOutputSettings forwards here.
  KTOutputSettings& GetOutputSettings() { return settings_; }
  // The encoding the last text was prepared for: the xsl:output encoding, or
  // the default one, or UTF-8 when the name is not one of the 38 encodings.
  int GetEncodingId() const { return encoding_.GetId(); }
  const KTOutputEncoding& GetOutputEncoding() const { return encoding_; }

  bool IsXmlMethod() const { return xml_; }
  bool IsHtmlMethod() const { return html_; }
  bool IsTextMethod() const { return text_; }

  // Sets the method flags from the settings, else by the XSLT 1.0 §16 default
  // rule on the result root.
  void ChooseMethod();

  // Rewrites text in place: '<' and '>' always escaped; '"' with quotes; CR,
  // LF and tab as character references with lineFeeds; '&' always with
  // ampersands, else everywhere but directly before '{' (HTML 4 B.7.1).
  // Characters the output encoding cannot hold become "&#N;".
  void EscapeMarkup(KTString& text, bool quotes, bool lineFeeds, bool ampersands);

  // The writers walk the subtree with an explicit stack, so any depth works.
  // False only for a null node.
  bool WriteXmlNode(const KTXPathNode* node, XmlFlags flags);
  bool WriteHtmlNode(const KTXPathNode* node);
  bool WriteTextNode(const KTXPathNode* node);
  // True when it wrote a document type declaration.
  bool WriteHtmlDoctype();

  // The line breaks the serialiser makes itself are LF; the result's own
  // characters are written as they are.
  void WriteNewline();
  void WriteIndent();

 private:
  // Escape rule bits of AppendText.
  enum : unsigned {
    kEscapeMarkup = 1,           // '<' and '>'
    kEscapeAmpersand = 2,        // every '&'
    kAmpersandBeforeBrace = 4,   // every '&' but one directly before '{'
    kEscapeQuote = 8,            // '"'
    kEscapeLineEnds = 16,        // CR, LF and tab as references
    kNoReferences = 32,          // an unwritable character is an error, not a reference
    kEscapeCarriageReturn = 64,  // CR as a reference
  };
  static constexpr unsigned kRuleCombinations = 128;
  // By rule bits: the characters below 64 that AppendText replaces or may
  // refuse under them; every other one below 64 it writes as it is.
  static const std::array<uint64_t, kRuleCombinations> kLookedAt;
  // A CR written as itself would reach a reader of xml or html output as a
  // line feed (XML 1.0 §2.11; HTML parsers do the same), so text keeps it
  // as a reference.
  static constexpr unsigned kTextRules = kEscapeMarkup | kEscapeAmpersand | kEscapeCarriageReturn;
  static constexpr unsigned kXmlAttributeRules =
      kEscapeMarkup | kEscapeAmpersand | kEscapeQuote | kEscapeLineEnds;
  // HTML keeps LF and tabs of attribute values as they are; a CR is a
  // reference, as in text.
  static constexpr unsigned kHtmlAttributeRules =
      kEscapeMarkup | kAmpersandBeforeBrace | kEscapeQuote | kEscapeCarriageReturn;

  struct XmlFrame;
  struct HtmlFrame;
  // One name of cdata-section-elements: a name in no namespace, or a
  // namespace URI, ':' and a local name.
  struct CdataToken {
    KTString text;
    bool hasColon = false;
  };

  // Appends within the room of the output buffer go straight to it; the
  // rest through AppendToOutput, which grows it.
  void Append(std::u16string_view text) { AppendRun(text.data(), static_cast<int>(text.size())); }
  void Append(char16_t c) {
    if (outputLength_ < outputCapacity_) {
      outputBuffer_[outputLength_++] = c;
      outputBuffer_[outputLength_] = 0;
      FlushIfFull();
      return;
    }
    AppendToOutput(&c, 1);
  }
  void AppendRun(const char16_t* units, int count) {
    if (count <= 0) return;
    if (outputLength_ + count <= outputCapacity_) {
      std::memcpy(outputBuffer_ + outputLength_, units, static_cast<size_t>(count) * sizeof(char16_t));
      outputLength_ += count;
      outputBuffer_[outputLength_] = 0;
      FlushIfFull();
      return;
    }
    AppendToOutput(units, count);
  }
  void AppendToOutput(const char16_t* units, int count);
  // Takes the output buffer's place and room again after a call that may
  // have moved it.
  void SyncOutputBuffer();
  // Hands the text written so far to the sink once it fills a piece.
  void FlushIfFull() {
    if (sink_ && outputLength_ >= kSinkPiece) FlushToSink();
  }
  void FlushToSink();
  // Units of text gathered before they go to the sink.
  static constexpr int kSinkPiece = 32768;
  // Appends text under the escape rules to (out, length); with kNoReferences
  // an unwritable character throws KTOutputError for place.
  void AppendText(KTString& out, int& length, std::u16string_view text, unsigned rules,
                  const KTXPathNode* node, KTOutputError::Place place);
  // In the common case, XML 1.0 through an encoding that writes every
  // character, a text without a character its rules look at is found by one
  // scan and copied whole; any other goes through the escaping.
  void AppendText(std::u16string_view text, unsigned rules, const KTXPathNode* node,
                  KTOutputError::Place place = KTOutputError::kPlaceName) {
    if (encoding_.RepresentsAll() && !xml11_) {
      const uint64_t looked = kLookedAt[rules & (kRuleCombinations - 1)];
      const char16_t* units = text.data();
      const std::size_t size = text.size();
      std::size_t i = 0;
      while (i < size && !IsLookedAt(units[i], looked)) ++i;
      if (i == size) {
        AppendRun(units, static_cast<int>(size));
        return;
      }
    }
    AppendEscaped(text, rules, node, place);
  }
  // The same for a text that ends at its NUL (a node's name or value): the
  // scan finds its end too, since the NUL is looked at under every rule.
  void AppendText(const char16_t* text, unsigned rules, const KTXPathNode* node,
                  KTOutputError::Place place = KTOutputError::kPlaceName) {
    if (encoding_.RepresentsAll() && !xml11_) {
      const uint64_t looked = kLookedAt[rules & (kRuleCombinations - 1)];
      std::size_t i = 0;
      while (!IsLookedAt(text[i], looked)) ++i;
      if (text[i] == 0) {
        AppendRun(text, static_cast<int>(i));
        return;
      }
    }
    AppendEscaped(std::u16string_view(text), rules, node, place);
  }
  static bool IsLookedAt(char16_t c, uint64_t looked) {
    return c >= 64 ? c >= 0xD800 : ((looked >> c) & 1) != 0;
  }
  void AppendEscaped(std::u16string_view text, unsigned rules, const KTXPathNode* node,
                     KTOutputError::Place place);
  void AppendName(const KTXPathNode* node);
  void WriteXmlDeclaration();
  // True when it wrote a document type declaration.
  bool WriteXmlDoctype();
  // The nodes of the result root, with the line breaks that go between
  // them; the root itself when it is some other node.
  bool WriteXmlDocument(bool topBreaks);
  void ParseCdataList();
  bool InCdataSectionElement(const KTXPathNode* textNode) const;
  // Writes a text or CDATA node: as a CDATA section when its parent is listed
  // in cdata-section-elements, else escaped unless escape is false.
  void WriteTextContent(const KTXPathNode* node, bool escape);
  // ' name="value"' of an attribute or namespace node, by the xml method.
  void WriteXmlAttribute(const KTXPathNode* node);
  // "<?target data" of a processing instruction (the xml and html methods
  // end it differently) and a whole comment.
  void WriteProcessingInstructionStart(const KTXPathNode* node);
  void WriteComment(const KTXPathNode* node);
  void WriteHtmlAttribute(const KTXPathNode* node);
  void WriteHtmlMeta();
  // Finds the head that gets the META, or the META of the result that
  // already declares the content type, which is written as the serialiser's.
  void FindHtmlMetaPlace();
  // A meta element in no namespace with http-equiv="Content-Type".
  bool IsContentTypeMeta(const KTXPathNode* element) const;
  // A further content-type META beside the one written: left out.
  bool IsLeftOutMeta(const KTXPathNode* element) const;
  void OpenHtmlElement(const KTXPathNode* node, std::vector<HtmlFrame>& stack);
  // Writes the '>' of the start tag, and the META in the head that gets it.
  void FinishHtmlStartTag(HtmlFrame& frame);
  void CloseHtmlElement(HtmlFrame& frame);

  KTString output_;
  int outputLength_ = 0;
  // The writable slots of output_ and their number (capacity, not counting
  // the one for the NUL); null and 0 until the first append after a clear.
  char16_t* outputBuffer_ = nullptr;
  int outputCapacity_ = 0;
  KTOutputSink* sink_ = nullptr;
  const KTXPathNode* resultRoot_ = nullptr;
  KTOutputSettings settings_;
  bool html_ = false;
  bool xml_ = true;
  bool text_ = false;
  int depth_ = 0;
  bool indent_ = false;
  // The declaration names XML 1.1: C1 controls, NEL and LINE SEPARATOR are
  // written as references where they may be.
  bool xml11_ = false;
  // The head element whose content starts with the META of the html method,
  // or the result's own content-type META, which is written as the
  // serialiser's instead; null when there is none. Further content-type
  // METAs among the children of the html element at the top (metaHtml_) and
  // of its head (metaScope_) are left out.
  const KTXPathNode* metaHead_ = nullptr;
  const KTXPathNode* ownMeta_ = nullptr;
  const KTXPathNode* metaHtml_ = nullptr;
  const KTXPathNode* metaScope_ = nullptr;
  KTString defaultEncoding_;
  KTOutputEncoding encoding_;
  std::vector<CdataToken> cdataTokens_;
  KTString cdataList_;
  KTString escapeBuffer_;
  KTString uriBuffer_;
};
