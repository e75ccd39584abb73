#pragma once

// The documents the reader benchmarks read: a ping answer as services send
// it, and about 5 MB of records in UTF-8 or UTF-16LE.

#include <string>

namespace corvandel::bench {

inline const std::string kAnswer =
    "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n  <params>\r\n    <param>\r\n      <value>\r\n"
    "        <struct>\r\n          <member>\r\n            <name>flerror</name>\r\n"
    "            <value><boolean>0</boolean></value>\r\n          </member>\r\n          <member>\r\n"
    "            <name>message</name>\r\n            <value>Thanks for the ping.</value>\r\n"
    "          </member>\r\n        </struct>\r\n      </value>\r\n    </param>\r\n  </params>\r\n"
    "</methodResponse>\r\n";

// Records with attributes, text, entities and some non-ASCII.
inline std::string MakeDocument() {
  std::string text = "<?xml version=\"1.0\"?>\n<catalogue>\n";
  for (int i = 0; text.size() < 5u << 20; ++i) {
    text += "  <item id=\"i" + std::to_string(i) + "\" kind=\"book\" price=\"" + std::to_string(i % 97) +
            ".50\">\n    <title>Caf\xC3\xA9 &amp; co, volume " + std::to_string(i) +
            "</title>\n    <note>Plain text that runs for a while, as notes do &lt;ok&gt;.</note>\n  </item>\n";
  }
  return text + "</catalogue>\n";
}

inline std::string ToUTF16LE(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  // The document's only non-ASCII characters are two-byte forms from C3.
  std::u16string wide;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == 0xC3) {
      wide += static_cast<char16_t>(0xC0 | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      wide += static_cast<char16_t>(c);
    }
  }
  for (char16_t c : wide) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

inline const std::string& Document() {
  static const std::string text = MakeDocument();
  return text;
}

inline const std::string& DocumentUTF16() {
  static const std::string text = ToUTF16LE(Document());
  return text;
}

}  // namespace corvandel::bench
