#pragma once

// A compact picture of a document tree, for the XML suites' expectations.

#include <string>

#include "xml/dom.h"

namespace corvandel::testing {

// How DumpTree writes an element's attributes.
enum class TAttributeDump {
  Nodes,  // name= and the attribute's child nodes: x='1', y=, z='a'&e;
  Value,  // name=value, or name?=value for a value from a declared default
};

// The children of node, in order: elements as name(attributes)[children],
// text as 'data', CDATA as <![data]>, comments, instructions, entity
// references and the document type as in XML (<?target data?>, &name;,
// <!DOCTYPE name>).
std::string DumpTree(xml::TDOMNode* node, TAttributeDump attributes = TAttributeDump::Nodes);

}  // namespace corvandel::testing
