#include "tree_dump.h"

#include "runtime/code_page.h"

namespace corvandel::testing {

using namespace corvandel::xml;

namespace {

std::string Narrow(const DOMString& text) { return runtime::UTF16ToSystem(text); }

std::string DumpAttributes(TAttributeMap& map, TAttributeDump style) {
  std::string out = "(";
  for (uint32_t i = 0; i < map.Length(); ++i) {
    TDOMAttr* attribute = map.Attr(i);
    if (i) out += ' ';
    out += Narrow(attribute->NodeName());
    if (style == TAttributeDump::Nodes)
      out += "=" + DumpTree(attribute, style);
    else
      out += (attribute->Specified() ? "=" : "?=") + Narrow(attribute->NodeValue());
  }
  return out + ")";
}

}  // namespace

std::string DumpTree(TDOMNode* node, TAttributeDump attributes) {
  std::string out;
  for (TDOMNode* child = node->FirstChild(); child; child = child->NextSibling()) {
    switch (child->NodeType()) {
      case ELEMENT_NODE: {
        out += Narrow(child->NodeName());
        auto* element = static_cast<TDOMElement*>(child);
        if (element->HasAttributes()) out += DumpAttributes(*element->AttributeMap(), attributes);
        if (child->HasChildNodes()) out += "[" + DumpTree(child, attributes) + "]";
        break;
      }
      case TEXT_NODE: out += "'" + Narrow(child->NodeValue()) + "'"; break;
      case CDATA_SECTION_NODE: out += "<![" + Narrow(child->NodeValue()) + "]>"; break;
      case COMMENT_NODE: out += "<!--" + Narrow(child->NodeValue()) + "-->"; break;
      case PROCESSING_INSTRUCTION_NODE: {
        const DOMString& data = child->NodeValue();
        out += "<?" + Narrow(child->NodeName()) + (data.empty() ? "" : " " + Narrow(data)) + "?>";
        break;
      }
      case ENTITY_REFERENCE_NODE: out += "&" + Narrow(child->NodeName()) + ";"; break;
      case DOCUMENT_TYPE_NODE: out += "<!DOCTYPE " + Narrow(child->NodeName()) + ">"; break;
      default: out += "?"; break;
    }
  }
  return out;
}

}  // namespace corvandel::testing
