// What a tool declares about its nodes: ordered inputs with their types,
// cardinality and policies, stored values, outputs, and two numbers the
// pipeline reads (affect type and masking mode).
//
// A tool fills a PiToolPolicyDescriptor once, in its describe(), when it is
// registered; the registry checks it then (names non-empty, free of '/',
// distinct on each level; a policy made for the input's type) and refuses a
// bad one with std::invalid_argument naming the tool and the input path.
// Afterwards the descriptor is immutable and shared by every node of the tool.
//
// Socket type codes: 0 bool, 1 double, 2 int, 3 colour, 4 string, 5 image
// (an enumeration is an int with a PiEnumPolicy). A structure groups named
// fields, which may be structures again. Cardinality 0 is a single input,
// cardinality 1 a multi-valued input: a list of entries, each built like the
// declaration itself (a structure entry has all the fields).
#pragma once

#include <deque>
#include <string>
#include <utility>

#include "base/rcPtr.h"
#include "pluginAPI/piInputPolicy.h"
#include "pluginAPI/piValue.h"

class PiSocketDecl {
 public:
  static constexpr int kStructure = -1;  // getType() of a structure

  PiSocketDecl(std::string name, int type, RCShdPtr<const PiInputPolicy> policy, int cardinality)
      : _name(std::move(name)), _type(type), _cardinality(cardinality), _policy(std::move(policy)) {}

  std::string const& getName() const { return _name; }
  int getType() const { return _type; }
  bool isStructure() const { return _type == kStructure; }
  bool isMultivalued() const { return _cardinality != 0; }
  int getCardinality() const { return _cardinality; }
  RCShdPtr<const PiInputPolicy> const& getPolicy() const { return _policy; }

  // The value a new input starts with: the policy's default, else the
  // default set here, else the type's zero.
  PiValueData getDefaultValue() const;
  PiSocketDecl& setDefaultValue(PiValueData v);

  // Fields of a structure (asserted a structure). References stay valid
  // while further fields are added.
  PiSocketDecl& require(std::string name, int type, RCShdPtr<const PiInputPolicy> policy = {}, int cardinality = 0);
  PiSocketDecl& requireStructure(std::string name, int cardinality = 0);
  std::deque<PiSocketDecl> const& getFields() const { return _fields; }
  PiSocketDecl const* findField(std::string const& name) const;

 private:
  friend class PiToolPolicyDescriptor;
  std::string _name;
  int _type;
  int _cardinality;
  RCShdPtr<const PiInputPolicy> _policy;
  bool _hasDefault = false;
  PiValueData _default;
  std::deque<PiSocketDecl> _fields;
};

struct PiValueDecl {
  std::string name;
  int type;
  PiValueData factoryValue;
  RCShdPtr<const PiInputPolicy> policy;  // may be null
};

struct PiOutputDecl {
  std::string name;
  int type;
};

class PiToolPolicyDescriptor {
 public:
  PiToolPolicyDescriptor() : _inputs("", PiSocketDecl::kStructure, {}, 0) {}

  // Inputs, in the order declared. (The host's `requires`; that word is
  // reserved in C++20.)
  PiSocketDecl& require(std::string name, int type, RCShdPtr<const PiInputPolicy> policy = {}, int cardinality = 0) {
    return _inputs.require(std::move(name), type, std::move(policy), cardinality);
  }
  PiSocketDecl& requireStructure(std::string name, int cardinality = 0) {
    return _inputs.requireStructure(std::move(name), cardinality);
  }
  // Prepends an input (the registry puts an image modifier's single input
  // or main output first when the tool did not declare it).
  void prependInput(PiSocketDecl decl);
  std::deque<PiSocketDecl> const& getInputs() const { return _inputs.getFields(); }
  PiSocketDecl const* findInput(std::string const& name) const { return _inputs.findField(name); }

  // Values stored with the node, not connectable. `factoryValue` is
  // converted to `type` (or refused); a policy, when given, validates writes.
  void addValue(std::string name, int type, PiValueData factoryValue, RCShdPtr<const PiInputPolicy> policy = {});
  std::deque<PiValueDecl> const& getValues() const { return _values; }
  PiValueDecl const* findValue(std::string const& name) const;

  void addOutput(std::string name, int type = PI_IMAGE);
  void prependOutput(std::string name, int type = PI_IMAGE);
  std::deque<PiOutputDecl> const& getOutputs() const { return _outputs; }
  PiOutputDecl const* findOutput(std::string const& name) const;

  // How the node's output relates to its primary input, read by the
  // pipeline: 0 it depends on the input as a whole, 1 it keeps the input's
  // format and region and changes pixels, 2 it keeps only the input's format.
  void setAffect(int affect) { _affect = affect; }
  int getAffect() const { return _affect; }
  // 0 no masking input; 1 the registry adds an optional image input "Mask"
  // through which the node's effect is limited.
  void setMaskingMode(int mode) { _maskingMode = mode; }
  int getMaskingMode() const { return _maskingMode; }
  static char const* getMaskInputName() { return "Mask"; }

  // Throws std::invalid_argument naming `toolName` and the offending path.
  void validate(std::string const& toolName) const;

 private:
  PiSocketDecl _inputs;  // a structure whose fields are the inputs
  std::deque<PiValueDecl> _values;
  std::deque<PiOutputDecl> _outputs;
  int _affect = 0;
  int _maskingMode = 0;
};
