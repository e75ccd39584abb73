#include "reader_record.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "piece_stream.h"
#include "runtime/memory_stream.h"
#include "xml/reader.h"

namespace corvandel::testing {

using namespace corvandel::xml;

namespace {

// Code units as they are, printable ASCII kept and everything else escaped,
// so that lone surrogates and controls survive.
void AppendUnits(std::string& out, DOMStringView units) {
  for (const DOMChar c : units) {
    if (c >= 0x20 && c < 0x7F && c != u'\\') {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\%04X", static_cast<unsigned>(c));
      out += escape;
    }
  }
}

void AppendNode(std::string& out, TDOMNode* node);

void AppendChildren(std::string& out, TDOMNode* node) {
  out += '[';
  for (TDOMNode* child = node->FirstChild(); child; child = child->NextSibling()) AppendNode(out, child);
  out += ']';
}

void AppendNode(std::string& out, TDOMNode* node) {
  out += std::to_string(node->NodeType());
  out += ':';
  AppendUnits(out, node->NodeName());
  const DOMString uri = node->NamespaceURI();
  if (!uri.empty()) {
    out += '{';
    AppendUnits(out, uri);
    out += '}';
  }
  out += '/' + std::to_string(node->Flags() & ~NODE_READONLY);
  switch (node->NodeType()) {
    case ELEMENT_NODE: {
      auto* element = static_cast<TDOMElement*>(node);
      if (element->HasAttributes()) {
        TAttributeMap* map = element->AttributeMap();
        out += '(';
        for (uint32_t i = 0; i < map->Length(); ++i) {
          TDOMAttr* attribute = map->Attr(i);
          AppendNode(out, attribute);
          out += '#' + std::to_string(attribute->DataType());
        }
        out += ')';
      }
      AppendChildren(out, node);
      break;
    }
    case ATTRIBUTE_NODE:
    case ENTITY_REFERENCE_NODE:
    case ENTITY_NODE: AppendChildren(out, node); break;
    case TEXT_NODE:
    case CDATA_SECTION_NODE:
    case COMMENT_NODE:
    case PROCESSING_INSTRUCTION_NODE:
      out += '=';
      AppendUnits(out, node->NodeValue());
      break;
    case DOCUMENT_TYPE_NODE: {
      auto* type = static_cast<TDOMDocumentType*>(node);
      for (const DOMString* text : {&type->PublicId, &type->SystemId, &type->InternalSubset}) {
        out += '|';
        AppendUnits(out, *text);
      }
      for (TDOMNamedNodeMap* map : {type->Entities(), type->Notations()}) {
        out += '<';
        for (uint32_t i = 0; i < map->Length(); ++i) AppendNode(out, map->Item(i));
        out += '>';
      }
      break;
    }
    default: break;
  }
  out += ';';
}

// Settings from the flags of the reader's fuzz targets.
TXMLReaderSettings FlagSettings(uint8_t flags) {
  TXMLReaderSettings settings;
  settings.Validate = flags & 1;
  settings.KeepWhitespaceText = flags & 2;
  settings.ExpandEntityRefs = flags & 4;
  settings.NamespaceAware = flags & 8;
  settings.CDataAsText = flags & 16;
  return settings;
}

// A variant of kFlagsVariant | flags takes its settings from the flags.
constexpr uint32_t kFlagsVariant = 0x100;

TXMLReaderSettings Settings(uint32_t variant, std::string_view bytes) {
  TXMLReaderSettings settings;
  switch (variant) {
    case 1:
      settings.KeepWhitespaceText = true;
      settings.CDataAsText = true;
      settings.DropComments = true;
      settings.DetachDoctype = true;
      break;
    case 2:
      settings.Validate = true;
      settings.ExpandEntityRefs = true;
      settings.NamespaceAware = true;
      break;
    case 3:
      settings.Validate = true;
      settings.KeepWhitespaceText = true;
      settings.NamespaceAware = true;
      break;
    case 4:
      // As the reader's fuzz target picks them, from the first byte.
      if (!bytes.empty()) return FlagSettings(static_cast<uint8_t>(bytes[0]));
      break;
    default:
      if (variant & kFlagsVariant) return FlagSettings(static_cast<uint8_t>(variant));
      break;
  }
  return settings;
}

constexpr uint32_t kSettingsVariants = 5;

}  // namespace

uint32_t SettingsVariants() { return kSettingsVariants; }

std::string RecordRead(std::string_view bytes, uint32_t settingsVariant, std::size_t piece) {
  std::string out;
  TXMLReaderSettings settings = Settings(settingsVariant, bytes);
  settings.OnError = [&out](const EXMLReadError& error) {
    if (error.Severity() == SEVERITY_ERROR) out += std::string("valid: ") + error.what() + "\n";
  };
  xml::testing::TPieceStream stream(bytes, piece);
  std::unique_ptr<TXMLDocument> document;
  try {
    ReadDocumentFromStream(document, stream, u"stream:", settings);
    out += "ok\n";
  } catch (const EXMLReadError& error) {
    out += std::string("fatal: ") + error.what() + "\n";
  }
  if (document) {
    AppendUnits(out, document->XMLVersion());
    AppendChildren(out, document.get());
    out += '\n';
  }
  return out;
}

std::string RecordInput(std::string_view bytes) {
  std::string out;
  // Seeds of the fuzz targets may begin with a byte of settings flags,
  // which no document can begin with: that input is recorded as it is,
  // then everything below is derived from the document after the byte.
  if (!bytes.empty() && static_cast<unsigned char>(bytes[0]) < 0x20 && bytes[0] != '\t' && bytes[0] != '\n' &&
      bytes[0] != '\r') {
    out += RecordRead(bytes, 0);
    const uint8_t flags = static_cast<uint8_t>(bytes[0]);
    bytes.remove_prefix(1);
    out += RecordRead(bytes, kFlagsVariant | flags);
  }
  for (uint32_t variant = 0; variant < kSettingsVariants; ++variant) out += RecordRead(bytes, variant);
  for (const std::size_t piece : {1, 7}) out += RecordRead(bytes, 0, piece);
  // Cuts and replaced bytes at a spread of places, for the errors.
  constexpr std::size_t kPlaces = 24;
  static constexpr char kReplacements[] = "<&>\r]\"'\x80\xC3 ?\x01";
  const std::size_t size = bytes.size();
  for (std::size_t k = 1; k <= kPlaces && size > 1; ++k) {
    const std::size_t at = size * k / (kPlaces + 1);
    out += RecordRead(bytes.substr(0, at), 0);
    std::string changed(bytes);
    changed[std::min(size - 1, at + k % 3)] = kReplacements[k % (sizeof kReplacements - 1)];
    out += RecordRead(changed, 0);
    out += RecordRead(changed, 2);
  }
  return out;
}

std::string Digest(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

std::vector<std::string> ReferenceInputs(const std::string& sourceDir) {
  namespace fs = std::filesystem;
  std::vector<std::string> inputs;
  for (const char* dir : {"fuzz/corpus/xml_reader_fuzz", "fuzz/corpus/xml_roundtrip_fuzz",
                          "fuzz/corpus/feed_reader_fuzz", "fuzz/corpus/sitemap_reader_fuzz", "tests/announce/data"}) {
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(sourceDir) / dir))
      if (entry.is_regular_file()) files.push_back(std::string(dir) + "/" + entry.path().filename().string());
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
  }
  return inputs;
}

std::vector<std::pair<std::string, std::string>> GeneratedInputs() {
  // Records of attributes, text, references and non-ASCII, some 40 KB: the
  // reader decodes in blocks of a few KB, so every kind of token meets a
  // block's end somewhere.
  std::string catalogue = "<?xml version=\"1.0\"?>\n<catalogue>\n";
  for (int i = 0; catalogue.size() < 40000; ++i) {
    const std::string n = std::to_string(i);
    catalogue += "  <item id=\"i" + n + "\" kind=\"book\" price=\"" + std::to_string(i % 97) +
                 ".50\">\n    <title>Caf\xC3\xA9 &amp; co, volume " + n +
                 "</title>\n    <note a='x&#" + std::to_string(60 + i % 5) + ";y'>Plain text &lt;ok&gt; \xE2\x82\xAC" +
                 std::string(static_cast<std::size_t>(i % 23), ' ') + "\xF0\x9F\x98\x80</note><!-- c" + n +
                 " --><?pi " + n + "?><![CDATA[<" + n + "]]>\n  </item>\n";
  }
  catalogue += "</catalogue>\n";
  std::string crlf;
  for (const char c : catalogue) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  // UTF-16LE of the CRLF form, with its byte order mark.
  std::string utf16 = "\xFF\xFE";
  const std::u16string wide = [&] {
    std::u16string units;
    for (std::size_t i = 0; i < crlf.size(); ++i) {
      const auto c = static_cast<unsigned char>(crlf[i]);
      char32_t code = c;
      int more = 0;
      if (c >= 0xF0) code = c & 0x07, more = 3;
      else if (c >= 0xE0) code = c & 0x0F, more = 2;
      else if (c >= 0xC0) code = c & 0x1F, more = 1;
      for (; more > 0; --more) code = (code << 6) | (static_cast<unsigned char>(crlf[++i]) & 0x3F);
      if (code >= 0x10000) {
        units += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
        units += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
      } else {
        units += static_cast<char16_t>(code);
      }
    }
    return units;
  }();
  for (const char16_t unit : wide) {
    utf16 += static_cast<char>(unit & 0xFF);
    utf16 += static_cast<char>(unit >> 8);
  }
  // A document type with defaults, entities and IDs over the same records.
  std::string typed =
      "<?xml version='1.0' encoding='UTF-8' standalone='no'?>\n"
      "<!DOCTYPE catalogue [\n"
      "<!ELEMENT catalogue (item*)>\n"
      "<!ELEMENT item (title, note)>\n"
      "<!ELEMENT title (#PCDATA)>\n"
      "<!ELEMENT note (#PCDATA|b)*>\n"
      "<!ELEMENT b EMPTY>\n"
      "<!ATTLIST item id ID #REQUIRED kind (book|disc) 'book' price CDATA #IMPLIED ref IDREF #IMPLIED>\n"
      "<!ENTITY co 'Company &amp; <b/> sons'>\n"
      "<!ENTITY sp '  spaced  '>\n"
      "]>\n<catalogue>\n";
  for (int i = 0; typed.size() < 20000; ++i) {
    const std::string n = std::to_string(i);
    typed += "<item id='i" + n + "'" + (i % 3 ? " kind='disc'" : "") + (i > 0 ? " ref='i" + std::to_string(i - 1) + "'" : "") +
             " price=' " + n + " &sp; '><title>&co;</title><note>t &co;<b/>" + n + "</note></item>\n";
  }
  typed += "</catalogue>\n";
  return {{"generated:catalogue", catalogue},
          {"generated:catalogue-crlf", crlf},
          {"generated:catalogue-utf16le", utf16},
          {"generated:typed", typed}};
}

}  // namespace corvandel::testing
