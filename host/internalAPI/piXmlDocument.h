// XML documents as the host reads them: interface descriptions and other
// element/attribute files. A document is a tree of elements; an element has
// a name, attributes in document order, child elements and the character
// data directly inside it (surrounding blanks removed). Comments and
// processing instructions are dropped; entities and character references
// are resolved; external entities are never fetched.
//
// Failures: text that is not well-formed XML, and a file that cannot be
// read, raise PiXmlError whose message names the source, the line and the
// column and says what is wrong ("ui.xml:3:7: mismatched tag").
//
// Documents are immutable once read and may be shared between threads.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/rcPtr.h"

class PiXmlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PiXmlElement {
 public:
  std::string const& getName() const { return _name; }
  std::vector<std::pair<std::string, std::string>> const& getAttributes() const { return _attributes; }
  bool hasAttribute(std::string const& name) const;
  // `fallback` when the element has no such attribute.
  std::string getAttribute(std::string const& name, std::string const& fallback = std::string()) const;
  std::string const& getText() const { return _text; }
  std::vector<PiXmlElement> const& getChildren() const { return _children; }
  // The first child of that name; null when there is none.
  PiXmlElement const* findChild(std::string const& name) const;
  // Line of the start tag, from 1.
  int getLine() const { return _line; }

 private:
  friend class PiXmlDocument;
  friend struct PiXmlBuilderAccess;
  std::string _name;
  std::vector<std::pair<std::string, std::string>> _attributes;
  std::string _text;
  std::vector<PiXmlElement> _children;
  int _line = 0;
};

class PiXmlDocument {
 public:
  // `sourceName` names the text in messages.
  static RCShdPtr<const PiXmlDocument> parse(std::string const& text, std::string const& sourceName);
  static RCShdPtr<const PiXmlDocument> readFile(std::string const& path);

  PiXmlElement const& getRoot() const { return _root; }
  std::string const& getSourceName() const { return _source; }

 private:
  PiXmlElement _root;
  std::string _source;
};
