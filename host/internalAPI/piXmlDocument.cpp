// Reading XML through expat into the element tree.
#include "internalAPI/piXmlDocument.h"

#include <expat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace {

struct Builder {
  XML_Parser parser;
  PiXmlElement* root;
  std::vector<PiXmlElement*> open;
  bool started = false;
};

std::string trimmed(std::string const& s) {
  char const* blanks = " \t\r\n";
  auto const b = s.find_first_not_of(blanks);
  return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

}  // namespace

// Expat calls these with the builder as user data.
struct PiXmlBuilderAccess {
  static void XMLCALL start(void* data, XML_Char const* name, XML_Char const** attributes) {
    auto* b = static_cast<Builder*>(data);
    PiXmlElement* e;
    if (!b->started) {
      b->started = true;
      e = b->root;
    } else {
      b->open.back()->_children.emplace_back();
      e = &b->open.back()->_children.back();
    }
    e->_name = name;
    e->_line = static_cast<int>(XML_GetCurrentLineNumber(b->parser));
    for (XML_Char const** a = attributes; *a; a += 2) e->_attributes.emplace_back(a[0], a[1]);
    b->open.push_back(e);
  }
  static void XMLCALL end(void* data, XML_Char const*) {
    auto* b = static_cast<Builder*>(data);
    b->open.back()->_text = trimmed(b->open.back()->_text);
    b->open.pop_back();
  }
  static void XMLCALL text(void* data, XML_Char const* s, int length) {
    auto* b = static_cast<Builder*>(data);
    if (!b->open.empty()) b->open.back()->_text.append(s, static_cast<std::size_t>(length));
  }
};

bool PiXmlElement::hasAttribute(std::string const& name) const {
  for (auto const& a : _attributes)
    if (a.first == name) return true;
  return false;
}

std::string PiXmlElement::getAttribute(std::string const& name, std::string const& fallback) const {
  for (auto const& a : _attributes)
    if (a.first == name) return a.second;
  return fallback;
}

PiXmlElement const* PiXmlElement::findChild(std::string const& name) const {
  for (auto const& c : _children)
    if (c._name == name) return &c;
  return nullptr;
}

RCShdPtr<const PiXmlDocument> PiXmlDocument::parse(std::string const& text, std::string const& sourceName) {
  auto doc = std::make_shared<PiXmlDocument>();
  doc->_source = sourceName;
  std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> parser(XML_ParserCreate(nullptr),
                                                                                  XML_ParserFree);
  if (!parser) throw std::bad_alloc();
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw PiXmlError(sourceName + ": document too large");
  Builder builder{parser.get(), &doc->_root, {}};
  XML_SetUserData(parser.get(), &builder);
  XML_SetElementHandler(parser.get(), &PiXmlBuilderAccess::start, &PiXmlBuilderAccess::end);
  XML_SetCharacterDataHandler(parser.get(), &PiXmlBuilderAccess::text);
  if (XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) {
    std::ostringstream msg;
    msg << sourceName << ":" << XML_GetCurrentLineNumber(parser.get()) << ":"
        << XML_GetCurrentColumnNumber(parser.get()) + 1 << ": " << XML_ErrorString(XML_GetErrorCode(parser.get()));
    throw PiXmlError(msg.str());
  }
  return RCShdPtr<const PiXmlDocument>(std::shared_ptr<const PiXmlDocument>(std::move(doc)));
}

RCShdPtr<const PiXmlDocument> PiXmlDocument::readFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PiXmlError(path + ": cannot read the file: " + std::strerror(errno));
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw PiXmlError(path + ": cannot read the file");
  return parse(content.str(), path);
}
