#pragma once

// What the reader makes of a set of inputs, reduced to one digest per input
// file: the reference that tools/reader_digests.cpp records and the XML
// suite's differential test compares against, so that a change to the
// reader that alters any tree, error text, error position or validity
// message is caught over every corpus at once.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvandel::testing {

// Everything one read produced, in a stable text form: the outcome (the
// fatal error's message, with its position), the validity errors in order,
// and the tree built (up to the error), every node with its type, name,
// namespace, flags and value.
std::string RecordRead(std::string_view bytes, uint32_t settingsVariant, std::size_t piece = 0);

// The number of settings variants RecordRead knows; variant 0 is the
// default settings. 100h | f stands for the settings that the XML fuzz
// targets take from a first byte f.
uint32_t SettingsVariants();

// The records of every read derived from one input: the input under each
// settings variant, read whole and in small pieces, cut at a spread of
// lengths and with single bytes replaced by markup characters, all
// concatenated.
std::string RecordInput(std::string_view bytes);

// A 64-bit FNV-1a digest of text, as 16 hex digits.
std::string Digest(std::string_view text);

// The inputs of the reference, as paths relative to the source tree: every
// file of the XML readers' fuzz corpora and of the source readers' test
// data, in a stable order.
std::vector<std::string> ReferenceInputs(const std::string& sourceDir);

// Inputs made in code, named "generated:<name>": documents large enough to
// cross the reader's buffers many times, in several encodings.
std::vector<std::pair<std::string, std::string>> GeneratedInputs();

}  // namespace corvandel::testing
