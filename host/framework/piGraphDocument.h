// Saving a node graph as a JSON document and loading it back.
//
// The document holds every node of the graph and of the groups inside it:
// its id, name and tool, the values of its inputs and stored values (with
// their keys), the entries of its multi-valued inputs and the connections of
// its inputs; a group holds its inside and what feeds its outputs. Nodes are
// referred to by id. Saving is deterministic: the same graph gives the same
// text, so save -> load -> save reproduces a document byte for byte, and a
// document compares as a whole graph state.
//
// Loading builds a fresh root graph, with an empty history, and calls
// nodeLoaded() on every controller (insides of groups first); a caller
// replaces its graph with the result. Inputs a document leaves out keep
// their defaults (a document from before a tool grew an input still loads).
//
// Failures: a document that is not JSON (malformed, truncated), lacks a
// field, holds a field of the wrong type, names an unknown tool, input or
// value, repeats a node id, connects to a node or socket that does not
// exist, makes a value depend on itself, holds a value a policy refuses, or
// whose node a controller cannot attach to throws PiDocumentError, which
// names what is wrong and where (a JSON pointer into the document, or the
// byte offset of a syntax error). Nothing of a failed load survives.
//
// Threading: the user-interface thread, like every graph edit.
#pragma once

#include <stdexcept>
#include <string>

#include "base/rcPtr.h"
#include "pluginAPI/piGraph.h"

class PiDocumentError : public std::runtime_error {
 public:
  PiDocumentError(std::string where, std::string const& what)
      : std::runtime_error((where.empty() ? std::string("document") : where) + ": " + what), _where(std::move(where)) {}
  // A JSON pointer ("/nodes/2/inputs/Shapes/0/Fence/value"); empty for the
  // document as a whole.
  std::string const& where() const { return _where; }

 private:
  std::string _where;
};

class PiGraphDocument {
 public:
  static std::string save(PiGraph const& graph);
  static RCShdPtr<PiGraph> load(std::string const& text);

  // Writes through a temporary file renamed into place, so a failed write
  // leaves an existing file intact; failures throw std::runtime_error.
  static void saveFile(PiGraph const& graph, std::string const& path);
  // A missing or unreadable file throws PiDocumentError.
  static RCShdPtr<PiGraph> loadFile(std::string const& path);
};
