#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace corvandel::xml {

// DOM exception codes.
enum : uint16_t {
  INDEX_SIZE_ERR = 1,
  DOMSTRING_SIZE_ERR = 2,
  HIERARCHY_REQUEST_ERR = 3,
  WRONG_DOCUMENT_ERR = 4,
  INVALID_CHARACTER_ERR = 5,
  NO_DATA_ALLOWED_ERR = 6,
  NO_MODIFICATION_ALLOWED_ERR = 7,
  NOT_FOUND_ERR = 8,
  NOT_SUPPORTED_ERR = 9,
  INUSE_ATTRIBUTE_ERR = 10,
  INVALID_STATE_ERR = 11,
  SYNTAX_ERR = 12,
  INVALID_MODIFICATION_ERR = 13,
  NAMESPACE_ERR = 14,
  INVALID_ACCESS_ERR = 15,
};

// Every failure of the document model. The message is the class name,
// " in " and the situation, e.g. "EDOMError in DOMDocument.CreateElement".
class EDOMError : public std::exception {
public:
  EDOMError(uint16_t code, const std::string& situation) : EDOMError("EDOMError", code, situation) {}

  uint16_t Code() const noexcept { return code_; }
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

protected:
  EDOMError(const char* className, uint16_t code, const std::string& situation)
      : code_(code), message_(std::string(className) + " in " + situation) {}

private:
  uint16_t code_;
  std::string message_;
};

class EDOMHierarchyRequest : public EDOMError {
public:
  explicit EDOMHierarchyRequest(const std::string& situation)
      : EDOMError("EDOMHierarchyRequest", HIERARCHY_REQUEST_ERR, situation) {}
};

class EDOMWrongDocument : public EDOMError {
public:
  explicit EDOMWrongDocument(const std::string& situation)
      : EDOMError("EDOMWrongDocument", WRONG_DOCUMENT_ERR, situation) {}
};

class EDOMNotFound : public EDOMError {
public:
  explicit EDOMNotFound(const std::string& situation) : EDOMError("EDOMNotFound", NOT_FOUND_ERR, situation) {}
};

class EDOMNotSupported : public EDOMError {
public:
  explicit EDOMNotSupported(const std::string& situation)
      : EDOMError("EDOMNotSupported", NOT_SUPPORTED_ERR, situation) {}
};

class EDOMNamespace : public EDOMError {
public:
  explicit EDOMNamespace(const std::string& situation) : EDOMError("EDOMNamespace", NAMESPACE_ERR, situation) {}
};

}  // namespace corvandel::xml
