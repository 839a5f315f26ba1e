// Tool descriptors: declaration helpers and the registration-time checks.
#include "pluginAPI/piDescriptor.h"

#include <set>
#include <stdexcept>

#include "base/assertions.h"

PiValueData PiSocketDecl::getDefaultValue() const {
  if (!_policy.isNull() && _type != PI_IMAGE) return _policy->getDefaultValue();
  if (_hasDefault) return _default;
  return PiValueData::zero(_type);
}

PiSocketDecl& PiSocketDecl::setDefaultValue(PiValueData v) {
  _default = v.convertedTo(_type, "default of input \"" + _name + "\"");
  _hasDefault = true;
  return *this;
}

PiSocketDecl& PiSocketDecl::require(std::string name, int type, RCShdPtr<const PiInputPolicy> policy, int cardinality) {
  QX_ASSERT(isStructure());
  return _fields.emplace_back(std::move(name), type, std::move(policy), cardinality);
}

PiSocketDecl& PiSocketDecl::requireStructure(std::string name, int cardinality) {
  QX_ASSERT(isStructure());
  return _fields.emplace_back(std::move(name), kStructure, RCShdPtr<const PiInputPolicy>(), cardinality);
}

PiSocketDecl const* PiSocketDecl::findField(std::string const& name) const {
  for (PiSocketDecl const& f : _fields)
    if (f.getName() == name) return &f;
  return nullptr;
}

void PiToolPolicyDescriptor::prependInput(PiSocketDecl decl) { _inputs._fields.push_front(std::move(decl)); }

void PiToolPolicyDescriptor::addValue(std::string name, int type, PiValueData factoryValue,
                                      RCShdPtr<const PiInputPolicy> policy) {
  PiValueData v = factoryValue.convertedTo(type, "factory value of \"" + name + "\"");
  _values.push_back(PiValueDecl{std::move(name), type, std::move(v), std::move(policy)});
}

PiValueDecl const* PiToolPolicyDescriptor::findValue(std::string const& name) const {
  for (PiValueDecl const& v : _values)
    if (v.name == name) return &v;
  return nullptr;
}

void PiToolPolicyDescriptor::addOutput(std::string name, int type) { _outputs.push_back(PiOutputDecl{std::move(name), type}); }
void PiToolPolicyDescriptor::prependOutput(std::string name, int type) {
  _outputs.push_front(PiOutputDecl{std::move(name), type});
}

PiOutputDecl const* PiToolPolicyDescriptor::findOutput(std::string const& name) const {
  for (PiOutputDecl const& o : _outputs)
    if (o.name == name) return &o;
  return nullptr;
}

namespace {

[[noreturn]] void bad(std::string const& tool, std::string const& path, std::string const& what) {
  throw std::invalid_argument("tool \"" + tool + "\", " + path + ": " + what);
}

void checkName(std::string const& tool, std::string const& path, std::string const& name, std::set<std::string>& seen) {
  if (name.empty()) bad(tool, path, "empty name");
  if (name.find('/') != std::string::npos) bad(tool, path, "a name may not contain '/'");
  if (!seen.insert(name).second) bad(tool, path, "name used twice");
}

void checkPolicy(std::string const& tool, std::string const& path, int type, RCShdPtr<const PiInputPolicy> const& p) {
  if (type < PI_BOOL || type > PI_IMAGE) bad(tool, path, "unknown socket type " + std::to_string(type));
  if (!p.isNull() && p->getValueType() != type)
    bad(tool, path, std::string("a policy for ") + piValueTypeName(p->getValueType()) + " on a " + piValueTypeName(type) +
                        " input");
}

void checkFields(std::string const& tool, std::string const& prefix, PiSocketDecl const& s) {
  std::set<std::string> seen;
  for (PiSocketDecl const& f : s.getFields()) {
    std::string const path = prefix + f.getName();
    checkName(tool, "input \"" + path + "\"", f.getName(), seen);
    if (f.getCardinality() != 0 && f.getCardinality() != 1)
      bad(tool, "input \"" + path + "\"", "cardinality must be 0 or 1");
    if (f.isStructure()) {
      if (f.getFields().empty()) bad(tool, "input \"" + path + "\"", "a structure without fields");
      checkFields(tool, path + "/", f);
    } else {
      checkPolicy(tool, "input \"" + path + "\"", f.getType(), f.getPolicy());
    }
  }
}

}  // namespace

void PiToolPolicyDescriptor::validate(std::string const& toolName) const {
  checkFields(toolName, "", _inputs);
  std::set<std::string> values, outputs;
  for (PiValueDecl const& v : _values) {
    checkName(toolName, "value \"" + v.name + "\"", v.name, values);
    if (v.type == PI_IMAGE) bad(toolName, "value \"" + v.name + "\"", "a stored value cannot be an image");
    checkPolicy(toolName, "value \"" + v.name + "\"", v.type, v.policy);
  }
  for (PiOutputDecl const& o : _outputs) {
    checkName(toolName, "output \"" + o.name + "\"", o.name, outputs);
    if (o.type < PI_BOOL || o.type > PI_IMAGE) bad(toolName, "output \"" + o.name + "\"", "unknown socket type");
  }
  if (_maskingMode != 0 && _maskingMode != 1) bad(toolName, "masking mode", "must be 0 or 1");
}
