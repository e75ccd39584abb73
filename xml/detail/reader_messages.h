#pragma once

// The reader's error texts. "%s" and "%1s" are filled with a name, a literal
// or a character; FormatMessage does the filling.

#include <string>
#include <string_view>

namespace corvandel::xml {

// Input sources.
inline constexpr const char* kMsgInvalidCharacter = "Invalid character";
inline constexpr const char* kMsgInvalidCharacterInInputStream = "Invalid character in input stream";
inline constexpr const char* kMsgDecoderInputOutOfBounds = "Decoder error: input byte count out of bounds";
inline constexpr const char* kMsgDecoderOutputOutOfBounds = "Decoder error: output char count out of bounds";
inline constexpr const char* kMsgCharLimit = "Exceeded character count limit";

// Well-formedness.
inline constexpr const char* kMsgExpectedChar = "Expected \"%1s\"";
inline constexpr const char* kMsgExpectedString = "Expected \"%s\"";
inline constexpr const char* kMsgExpectedEquals = "Expected \"=\"";
inline constexpr const char* kMsgExpectedWhitespace = "Expected whitespace";
inline constexpr const char* kMsgExpectedQuote = "Expected single or double quote";
inline constexpr const char* kMsgRootMissing = "Root element is missing";
inline constexpr const char* kMsgColonInName =
    "Names of entities, notations and processing instructions may not contain colons";
inline constexpr const char* kMsgLocalPartMissing = "Bad QName syntax, local part is missing";
inline constexpr const char* kMsgWhitespaceNotAllowed = "Whitespace is not allowed here";
inline constexpr const char* kMsgNameStartInvalid = "Name starts with invalid character";
inline constexpr const char* kMsgInvalidCharRef = "Invalid character reference";
inline constexpr const char* kMsgLessThanInAttribute = "Character '<' is not allowed in attribute value";
inline constexpr const char* kMsgNoClosingQuote = "Literal has no closing quote";
inline constexpr const char* kMsgRecursiveEntity = "Entity '%s%s' recursively references itself";
inline constexpr const char* kMsgUndefinedEntity = "Reference to undefined entity '%s'";
inline constexpr const char* kMsgStandaloneFatal = "Standalone constraint violation";
inline constexpr const char* kMsgUnparsedEntity = "Reference to unparsed entity '%s'";
inline constexpr const char* kMsgExternalInAttribute = "External entity reference is not allowed in attribute value";
inline constexpr const char* kMsgUnterminatedComment = "Unterminated comment";
inline constexpr const char* kMsgXmlReserved = "'xml' is a reserved word; it must be lowercase";
inline constexpr const char* kMsgXmlDeclNotAllowed = "XML declaration is not allowed here";
inline constexpr const char* kMsgUnterminatedPI = "Unterminated processing instruction";
inline constexpr const char* kMsgIllegalVersion = "Illegal version number";
inline constexpr const char* kMsgXml11Entity = "XML 1.0 document cannot invoke XML 1.1 entities";
inline constexpr const char* kMsgIllegalEncodingName = "Illegal encoding name";
inline constexpr const char* kMsgEncodingNotSupported = "Encoding '%s' is not supported";
inline constexpr const char* kMsgStandaloneValue = "Only \"yes\" or \"no\" are permitted as values of \"standalone\"";
inline constexpr const char* kMsgEndTagNotAllowed = "End-tag is not allowed here";
inline constexpr const char* kMsgIllegalAtDocumentLevel = "Illegal at document level";
inline constexpr const char* kMsgUnterminatedCDATA = "Unterminated CDATA section";
inline constexpr const char* kMsgEndTagMissing = "End-tag is missing for '%s'";
inline constexpr const char* kMsgCDATAEndInText = "Literal ']]>' is not allowed in text";
inline constexpr const char* kMsgOneTopLevelElement = "Only one top-level element allowed";
inline constexpr const char* kMsgUnmatchingEndTag = "Unmatching element end tag (expected \"</%s>\")";
inline constexpr const char* kMsgDuplicateAttribute = "Duplicate attribute";
inline constexpr const char* kMsgReservedPrefix = "Illegal usage of reserved prefix '%s'";
inline constexpr const char* kMsgReservedNamespace = "Illegal usage of reserved namespace URI '%s'";
inline constexpr const char* kMsgUndefiningNamespace = "Illegal undefining of namespace";
inline constexpr const char* kMsgUnboundPrefix = "Unbound prefix \"%s\"";
inline constexpr const char* kMsgDuplicatePrefixedAttribute = "Duplicate prefixed attribute";
// Limits against hostile input.
inline constexpr const char* kMsgEntityExpansionLimit = "Entity expansion exceeds the allowed amount";
inline constexpr const char* kMsgDocumentMemoryLimit = "Document exceeds the allowed size in memory";
inline constexpr const char* kMsgEntityNestingLimit = "Entity references are nested too deeply";

// Document type declarations.
inline constexpr const char* kMsgMarkupDeclNotAllowed = "Markup declaration is not allowed here";
inline constexpr const char* kMsgDoctypeProhibited = "Document type is prohibited by parser settings";
inline constexpr const char* kMsgIllegalPublicId = "Illegal Public ID literal";
inline constexpr const char* kMsgExpectedExternalOrPublicId = "Expected external or public ID";
inline constexpr const char* kMsgExpectedEntityValue = "Expected entity value or external ID";
inline constexpr const char* kMsgExpectedPipeOrComma = "Expected pipe or comma delimiter";
inline constexpr const char* kMsgInvalidContentSpec = "Invalid content specification";
inline constexpr const char* kMsgIllegalAttributeType = "Illegal attribute type for '%s'";
inline constexpr const char* kMsgConditionalInInternalSubset = "Conditional sections are not allowed in internal subset";
inline constexpr const char* kMsgExpectedIncludeOrIgnore = "Expected \"INCLUDE\" or \"IGNORE\"";
inline constexpr const char* kMsgIgnoreNotClosed = "IGNORE section is not closed";
inline constexpr const char* kMsgIllegalMarkupDecl = "Illegal markup declaration";
inline constexpr const char* kMsgIncludeNotClosed = "INCLUDE section is not closed";
inline constexpr const char* kMsgIllegalCharInDTD = "Illegal character in DTD";
inline constexpr const char* kMsgPEInInternalSubset = "PE reference not allowed here in internal subset";
inline constexpr const char* kMsgPENesting = "Parameter entities must be properly nested";

// Validity (reported only when validating).
inline constexpr const char* kMsgUndefinedEntityValidity = "Undefined entity '%s' referenced";
inline constexpr const char* kMsgUnresolvedEntity = "Unable to resolve external entity '%s'";
inline constexpr const char* kMsgUndefinedPE = "Undefined parameter entity '%s' referenced";
inline constexpr const char* kMsgUnresolvedSubset = "Unable to resolve external DTD subset";
inline constexpr const char* kMsgStandaloneValidity = "Standalone constriant violation";
inline constexpr const char* kMsgDuplicateElementDecl = "Duplicate declaration of element '%s'";
inline constexpr const char* kMsgDuplicateMixedToken = "Duplicate token in mixed section";
inline constexpr const char* kMsgDuplicateEnumToken = "Duplicate token in enumerated attibute declaration";
inline constexpr const char* kMsgOneIdAttribute = "Only one attribute of type ID is allowed per element";
inline constexpr const char* kMsgOneNotationAttribute = "Only one attribute of type NOTATION is allowed per element";
inline constexpr const char* kMsgNotationOnEmpty = "NOTATION attributes are not allowed on EMPTY elements";
inline constexpr const char* kMsgDuplicateNotationToken = "Duplicate token in NOTATION attribute declaration";
inline constexpr const char* kMsgIdWithDefault = "An attribute of type ID cannot have a default value";
inline constexpr const char* kMsgDefaultWrongSyntax = "Default value for attribute '%s' has wrong syntax";
inline constexpr const char* kMsgReferenceInEmpty = "References are illegal in EMPTY elements";
inline constexpr const char* kMsgUndeclaredElement = "Using undeclared element '%s'";
inline constexpr const char* kMsgElementNotAllowed = "Element '%s' is not allowed in this context";
inline constexpr const char* kMsgMissingSubElements = "Element '%s' is missing required sub-elements";
inline constexpr const char* kMsgUndeclaredAttribute = "Using undeclared attribute '%s' on element '%s'";
inline constexpr const char* kMsgRequiredAttributeMissing = "Required attribute '%s' of element '%s' is missing";
inline constexpr const char* kMsgFixedMismatch = "Value of attribute '%s' does not match its #FIXED default";
inline constexpr const char* kMsgAttributeTypeMismatch = "Attribute '%s' type mismatch";
inline constexpr const char* kMsgIdNotUnique = "The ID '%s' is not unique";
inline constexpr const char* kMsgIdNotFound = "The ID '%s' does not match any element";
inline constexpr const char* kMsgRootNameMismatch = "Root element name does not match DTD";
inline constexpr const char* kMsgMissingDTD = "Missing DTD";
inline constexpr const char* kMsgNotationNotDeclared = "Notation '%s' is not declared";
inline constexpr const char* kMsgDuplicateNotation = "Duplicate notation declaration: '%s'";
inline constexpr const char* kMsgTextInElementContent = "Character data is not allowed in element-only content";
inline constexpr const char* kMsgTextInEmpty = "Character data is not allowed in EMPTY elements";
inline constexpr const char* kMsgCommentInEmpty = "Comments are not allowed within EMPTY elements";
inline constexpr const char* kMsgCDATAInElementContent = "CDATA sections are not allowed in element-only content";
inline constexpr const char* kMsgPIInEmpty = "Processing instructions are not allowed within EMPTY elements";

// Replaces the first "%s" or "%1s" of pattern with argument, and a second
// "%s" with argument2 when given.
std::string FormatMessage(const char* pattern, std::string_view argument, std::string_view argument2 = {});

}  // namespace corvandel::xml
